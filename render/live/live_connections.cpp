// SPDX-License-Identifier: Apache-2.0
#include "render/live/live_connections.h"

#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "render/files/atomic_file.h"
#include "render/live/live_routes.h"
#include "render/live/live_thread_name.h"

namespace {
constexpr int kShortWorkers = 8;              // threads left for the short answers however many pictures are sent
constexpr size_t kMaxQueued = 32;             // complete requests waiting for a worker; more get 503
constexpr size_t kMaxWaitingHeads = 256;      // connections waiting for their head or lingering
constexpr size_t kMaxBodyBytes = 16384;       // what is read of a request beyond its head
constexpr int kSendBufferBytes = 256 * 1024;  // what the kernel may hold for one slow client
constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;  // a client that takes nothing for this long is dropped

bool wait_for(int fd, short events, int timeout_ms)
{
    pollfd entry{fd, events, 0};
    int ready;
    do
        ready = poll(&entry, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & events) != 0;
}

// A connection's socket as httplib reads and writes it: first the request the
// waiting room received, then at most kMaxBodyBytes from the socket; a write
// that cannot proceed within kWriteTimeoutMs fails, which ends the response.
// A write sends what the socket's buffer takes at once and never waits inside
// send: a blocking send would wait out the socket's own time-out (httplib sets
// SO_SNDTIMEO to 5 s) before this one even began, so a client that reads
// nothing would hold its place for twice the time-out.
class CLimitedStream final : public httplib::Stream {
public:
    CLimitedStream(int fd, const std::string& request) : fd_(fd), request_(request) {}

    bool is_readable() const override { return pos_ < request_.size() || wait_for(fd_, POLLIN, kReadTimeoutMs); }
    bool is_writable() const override { return wait_for(fd_, POLLOUT, kWriteTimeoutMs) && peer_open(); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (pos_ < request_.size()) {
            const size_t n = std::min(size, request_.size() - pos_);
            std::memcpy(ptr, request_.data() + pos_, n);
            pos_ += n;
            return static_cast<ssize_t>(n);
        }
        if (body_read_ >= kMaxBodyBytes || !wait_for(fd_, POLLIN, kReadTimeoutMs))
            return -1;
        ssize_t got;
        do
            got = recv(fd_, ptr, std::min(size, kMaxBodyBytes - body_read_), 0);
        while (got < 0 && errno == EINTR);
        body_read_ += got > 0 ? static_cast<size_t>(got) : 0;
        return got;
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !wait_for(fd_, POLLOUT, static_cast<int>(left.count())))
                return -1;
            const ssize_t sent = send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK))
                return sent;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { name_of(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { name_of(getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    // False once the client has closed or reset its end.
    bool peer_open() const
    {
        pollfd entry{fd_, POLLRDHUP, 0};
        return poll(&entry, 1, 0) == 0 || (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
    }
    void name_of(int (*query)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        char host[NI_MAXHOST] = "", service[NI_MAXSERV] = "0";
        if (query(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                        NI_NUMERICHOST | NI_NUMERICSERV);
        ip = host;
        port = std::atoi(service);
    }

    int fd_;
    const std::string& request_;
    size_t pos_ = 0, body_read_ = 0;
};

// Whether a request is for a picture route, as its target is written:
// one spelt otherwise queues with the short answers, and its handler still
// counts it among the viewers or picture writers.
bool asks_for_picture(const std::string& request)
{
    const size_t start = request.find(' ') + 1, end = request.find_first_of(" ?\r\n", start);
    if (start == 0 || end == std::string::npos)
        return false;
    const std::string_view target(request.data() + start, end - start);
    return target == kStreamRoute || target == kImageRoute;
}

// httplib's accepting loop hands each socket on at once, on its own thread.
class CHandOnAtOnce final : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> job) override { job(); }
    void shutdown() override {}
};
}  // namespace

// A fixed set of worker threads with a bounded queue for each kind of
// request: the short answers' is served first, so a burst of picture requests
// neither fills it nor goes before them.
class CWorkers {
public:
    // std::system_error when the system refuses a thread; those already
    // started are stopped first.
    explicit CWorkers(int count)
    {
        try {
            for (int k = 0; k < count; ++k)
                threads_.emplace_back([this] { work(); });
        } catch (...) {
            shutdown();
            throw;
        }
    }
    ~CWorkers() { shutdown(); }

    // False, leaving `job` undone, when its queue is full or the workers are stopping.
    bool try_run(std::function<void()> job, bool picture)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::deque<std::function<void()>>& jobs = jobs_[picture ? 1 : 0];
            if (stopping_ || jobs.size() >= kMaxQueued)
                return false;
            jobs.push_back(std::move(job));
        }
        ready_.notify_one();
        return true;
    }

    // Ends every thread once the jobs it has started are done; queued jobs are
    // run too, after stopping, to close their connections.
    void shutdown()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_)
            if (thread.joinable())
                thread.join();
    }

private:
    void work()
    {
        name_live_thread();
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_[0].empty() || !jobs_[1].empty(); });
                std::deque<std::function<void()>>& jobs = jobs_[jobs_[0].empty() ? 1 : 0];
                if (jobs.empty())
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_[2];  // the short answers', then the pictures'
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

CGuardedServer::CGuardedServer()
{
    new_task_queue = [] { return new CHandOnAtOnce; };
}

CGuardedServer::~CGuardedServer() { drop_all(); }

void CGuardedServer::start_workers()
{
    // httplib listens with a backlog of 5: a burst of connections (idle ones
    // included) would have the kernel drop a real client's, which then waits
    // a second or more to try again. The room takes them as fast as they come.
    ::listen(svr_sock_, SOMAXCONN);
    // Viewers and picture writers may hold their workers for long; the rest
    // are left for the short answers.
    workers_ = std::make_unique<CWorkers>(kMaxViewers + kMaxPictureWriters + kShortWorkers);
    heads_ = std::make_unique<CRequestHeads>(kMaxWaitingHeads, budget_, [this](int sock, const std::string& request) {
        return workers_->try_run([this, sock, request] { serve(sock, request); }, asks_for_picture(request));
    });
    // Counted last: every descriptor of the server but connections is open
    // now. One connection at a time and the one being refused need two.
    const size_t sockets = CConnectionBudget::available_now();
    if (sockets < 2) {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        throw std::runtime_error("the open-file limit of " + std::to_string(files.rlim_cur) +
                                 " (ulimit -n) leaves no descriptor for the live view's connections beside the " +
                                 std::to_string(kRenderFileDescriptors) + " the render keeps for its files");
    }
    budget_.set_sockets(sockets);
}

void CGuardedServer::drop_all()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        for (const int sock : open_)
            shutdown(sock, SHUT_RDWR);
    }
    budget_.stop();
    if (heads_)
        heads_->stop();
    if (workers_)
        workers_->shutdown();
}

bool CGuardedServer::process_and_close_socket(socket_t sock)
{
    budget_.taken();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_ || !heads_) {
            budget_.close(sock);
            return false;
        }
    }
    heads_->add(sock);
    // httplib accepts the next as soon as this returns.
    budget_.wait_for_room();
    return true;
}

void CGuardedServer::serve(int sock, const std::string& request)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) {
            budget_.close(sock);
            return;
        }
        open_.insert(sock);
    }
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
    CLimitedStream stream(sock, request);
    bool closed = false;
    process_request(stream, true, closed, nullptr);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(sock);
    }
    // The client reads the answer before the socket goes (a close with unread
    // request bytes would reset the connection), on the room's thread.
    shutdown(sock, SHUT_WR);
    heads_->linger(sock);
}
