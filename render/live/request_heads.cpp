// SPDX-License-Identifier: Apache-2.0
#include "render/live/request_heads.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "render/live/live_thread_name.h"

namespace {
constexpr int kLingerMs = 1000;

using Clock = std::chrono::steady_clock;

const char* reason_of(int status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    default: return "Service Unavailable";
    }
}

// A refusal in full; without its text when it answers HEAD.
std::string refusal(int status, const std::string& text, const std::string& field, bool head_only)
{
    const std::string body = text + "\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + field +
           "\r\n" + (head_only ? "" : body);
}

constexpr const char* kBusy = "too many clients waiting; try again later";
constexpr const char* kRetryLater = "Retry-After: 5\r\n";

// Takes what has come, up to `limit` bytes kept in `into`, without waiting:
// left unread, it would turn a close into a reset.
void take_what_came(int fd, std::string& into, size_t limit)
{
    char buffer[4096];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        into.append(buffer, static_cast<size_t>(std::min<size_t>(got, limit - std::min(limit, into.size()))));
}

}  // namespace

// Sends a refusal to a connection that sent something, then closes it; one
// that sent nothing is closed unanswered.
void CRequestHeads::refuse_and_close(int fd, std::string received)
{
    take_what_came(fd, received, 5);
    if (!received.empty()) {
        const std::string answer = refusal(503, kBusy, kRetryLater, asks_head(received));
        // A fresh connection's send buffer takes these few hundred bytes whole.
        send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    budget_.close(fd);
}

CRequestHeads::CRequestHeads(size_t capacity, CConnectionBudget& budget, Dispatch dispatch)
    : capacity_(std::max<size_t>(capacity, 1)),
      budget_(budget),
      dispatch_(std::move(dispatch)),
      wake_(eventfd(0, EFD_CLOEXEC))
{
    if (wake_ < 0)
        throw std::system_error(errno, std::generic_category());
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        close(wake_);
        throw;
    }
}

CRequestHeads::~CRequestHeads()
{
    stop();
    close(wake_);
}

void CRequestHeads::add(int fd)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Beyond a roomful not yet looked at, a flood is let go at once, so
        // that it cannot take the process's file descriptors.
        if (!stopping_ && arrived_.size() < capacity_) {
            arrived_.emplace_back(fd, false);
            fd = -1;
        }
    }
    if (fd >= 0)
        refuse_and_close(fd, "");
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

void CRequestHeads::linger(int fd)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            arrived_.emplace_back(fd, true);
            fd = -1;
        }
    }
    if (fd >= 0)
        budget_.close(fd);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
}

void CRequestHeads::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
}

void CRequestHeads::run()
{
    name_live_thread();
    std::vector<pollfd> watched;
    std::vector<std::pair<int, bool>> arrived;
    for (;;) {
        // Wait for bytes, a new connection or the next deadline.
        watched.assign(1, pollfd{wake_, POLLIN, 0});
        auto next = Clock::now() + std::chrono::seconds(1);
        for (const CWaiting& waiting : waiting_) {
            watched.push_back(pollfd{waiting.fd, POLLIN, 0});
            next = std::min(next, waiting.until);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
        if (poll(watched.data(), watched.size(), static_cast<int>(std::max<int64_t>(wait, 0))) < 0 && errno != EINTR)
            watched.assign(watched.size(), pollfd{});  // nothing is known to be ready; the deadlines still pass

        for (size_t k = 1; k < watched.size(); ++k)
            if (watched[k].revents != 0)
                read_from(waiting_[k - 1]);
        const auto now = Clock::now();
        for (CWaiting& waiting : waiting_)
            if (waiting.fd >= 0 && waiting.until <= now)
                give_up(waiting, false);
        waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(), [](const CWaiting& w) { return w.fd < 0; }),
                       waiting_.end());

        if (watched[0].revents == 0)
            continue;
        uint64_t count;
        [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
            arrived.swap(arrived_);
        }
        for (const auto& [fd, answered] : arrived) {
            if (waiting_.size() >= capacity_) {
                give_up(waiting_.front(), true);
                waiting_.pop_front();
            }
            const int wait_ms = answered ? kLingerMs : kHeadDeadlineMs;
            waiting_.push_back(CWaiting{fd, Clock::now() + std::chrono::milliseconds(wait_ms), {}, answered});
        }
        arrived.clear();
        // Room for the next accept, or the newest is refused.
        while (budget_.full() && !waiting_.empty()) {
            give_up(waiting_.front(), true);
            waiting_.pop_front();
        }
    }
    for (CWaiting& waiting : waiting_)
        budget_.close(waiting.fd);
    waiting_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [fd, answered] : arrived_)
        budget_.close(fd);
    arrived_.clear();
}

void CRequestHeads::read_from(CWaiting& waiting)
{
    char buffer[4096];
    ssize_t got;
    do
        got = recv(waiting.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (got <= 0) {  // closed or reset by the client
        budget_.close(waiting.fd);
        waiting.fd = -1;
        return;
    }
    if (waiting.answered)
        return;
    switch (waiting.head.take(buffer, static_cast<size_t>(got))) {
    case CHeadReader::CVerdict::incomplete: return;
    case CHeadReader::CVerdict::refused: return answer(waiting, waiting.head.status(), waiting.head.why());
    case CHeadReader::CVerdict::whole: return take_head(waiting);
    }
}

// Refuses what the server never serves, here, without a worker; hands the rest
// on as httplib should read it.
void CRequestHeads::take_head(CWaiting& waiting)
{
    const std::string_view method = waiting.head.method();
    if (method != "GET" && method != "HEAD")
        return answer(waiting, 405, "only GET and HEAD", "Allow: GET, HEAD\r\n");
    if (dispatch_(waiting.fd, waiting.head.for_httplib())) {
        waiting.fd = -1;
        return;
    }
    answer(waiting, 503, "too many clients; try again later", kRetryLater);
}

void CRequestHeads::answer(CWaiting& waiting, int status, const std::string& text, const std::string& field)
{
    const std::string response = refusal(status, text, field, asks_head(waiting.head.received()));
    send(waiting.fd, response.data(), response.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(waiting.fd, SHUT_WR);
    waiting.answered = true;
    waiting.until = Clock::now() + std::chrono::milliseconds(kLingerMs);
    waiting.head = CHeadReader();
}

// A deadline passed, or the room is full and this one has waited longest.
void CRequestHeads::give_up(CWaiting& waiting, bool displaced)
{
    if (waiting.fd < 0)
        return;
    if (displaced && !waiting.answered) {
        refuse_and_close(waiting.fd, waiting.head.received());
    } else if (!waiting.answered && !waiting.head.received().empty()) {
        return answer(waiting, 408, "the request head did not arrive within " +
                                        std::to_string(kHeadDeadlineMs / 1000) + " s");  // then lingers
    } else {
        std::string dropped;
        take_what_came(waiting.fd, dropped, 0);
        budget_.close(waiting.fd);
    }
    waiting.fd = -1;
}
