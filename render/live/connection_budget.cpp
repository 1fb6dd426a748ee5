// SPDX-License-Identifier: Apache-2.0
#include "render/live/connection_budget.h"

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <vector>

#include "render/files/atomic_file.h"

namespace {
// Descriptors above this are not looked at: a limit that high leaves far more
// than the server's own bounds ever hold.
constexpr size_t kCountedDescriptors = 65536;

// How many descriptors below `end` are open: poll marks a closed one POLLNVAL.
size_t open_below(size_t end)
{
    size_t open = 0;
    std::vector<pollfd> batch;
    for (size_t first = 0; first < end; first += 1024) {
        batch.clear();
        for (size_t fd = first; fd < std::min(end, first + 1024); ++fd)
            batch.push_back(pollfd{static_cast<int>(fd), 0, 0});
        if (poll(batch.data(), batch.size(), 0) < 0)
            return end;  // unknown: leave nothing to connections
        open += static_cast<size_t>(
            std::count_if(batch.begin(), batch.end(), [](const pollfd& p) { return (p.revents & POLLNVAL) == 0; }));
    }
    return open;
}
}  // namespace

size_t CConnectionBudget::available_now()
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0)
        return 0;
    const size_t limit = files.rlim_cur == RLIM_INFINITY || files.rlim_cur > std::numeric_limits<int>::max()
                             ? std::numeric_limits<int>::max()
                             : static_cast<size_t>(files.rlim_cur);
    // A new descriptor takes the lowest free number, so those below the limit are what counts.
    const size_t taken = open_below(std::min(limit, kCountedDescriptors)) + kRenderFileDescriptors;
    return limit > taken ? limit - taken : 0;
}

void CConnectionBudget::set_sockets(size_t sockets)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_ = sockets;
}

void CConnectionBudget::taken()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++held_;
}

void CConnectionBudget::close(int fd)
{
    ::close(fd);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --held_;
    }
    room_.notify_all();
}

bool CConnectionBudget::full() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_ >= sockets_;
}

void CConnectionBudget::wait_for_room()
{
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return stopping_ || held_ < sockets_; });
}

void CConnectionBudget::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    room_.notify_all();
}
