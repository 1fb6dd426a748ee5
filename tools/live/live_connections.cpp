// SPDX-License-Identifier: Apache-2.0
#include "tools/live/live_connections.h"

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

namespace {
constexpr int kSpareWorkers = 4;              // threads left to answer the 503s
constexpr size_t kMaxWaiting = 64;            // accepted connections waiting for a thread; more are closed
constexpr size_t kMaxRequestBytes = 16384;    // request line and headers together
constexpr int kSendBufferBytes = 256 * 1024;  // what the kernel may hold for one slow client
constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;       // a client that takes nothing for this long is dropped
constexpr int kRequestDeadlineMs = 10000;   // the whole request must have arrived by then
constexpr const char* kThreadName = "vantrel-live";

// Set on a worker thread for the connection it is serving.
thread_local bool t_over_limit = false;
// Set on the accepting thread when no worker can take a connection.
thread_local bool t_reject = false;
// The header fields of the request being served, as the client sent them.
thread_local size_t t_fields_sent = 0;

bool wait_for(int fd, short events, int timeout_ms)
{
    pollfd entry{fd, events, 0};
    int ready;
    do
        ready = poll(&entry, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & events) != 0;
}

// A connection's socket as httplib reads and writes it, with the limits above:
// reads stop at kMaxRequestBytes or the deadline, a write that cannot proceed
// within kWriteTimeoutMs fails, which ends the response. The request head is
// read whole first (see take_head).
class CLimitedStream final : public httplib::Stream {
public:
    explicit CLimitedStream(int fd)
        : fd_(fd), deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs))
    {
    }

    bool is_readable() const override
    {
        return head_pos_ < head_.size() || pos_ < end_ || wait_for(fd_, POLLIN, read_wait());
    }
    bool is_writable() const override { return wait_for(fd_, POLLOUT, kWriteTimeoutMs) && peer_open(); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (!head_taken_)
            take_head();
        if (head_pos_ < head_.size()) {
            const size_t n = std::min(size, head_.size() - head_pos_);
            std::memcpy(ptr, head_.data() + head_pos_, n);
            head_pos_ += n;
            return static_cast<ssize_t>(n);
        }
        return read_socket(ptr, size);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        if (!wait_for(fd_, POLLOUT, kWriteTimeoutMs))
            return -1;
        ssize_t sent;
        do
            sent = send(fd_, ptr, size, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        return sent;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { name_of(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { name_of(getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    // Reads the request head up to its blank line before httplib parses it,
    // counts the header fields the client sent (httplib adds four of its own,
    // the two ends' addresses and ports) and leaves out Range fields: this
    // server serves no ranges, and httplib would answer a malformed one 416
    // before any handler could ignore it. A head that does not end within the
    // limits goes on as it came, for httplib to refuse.
    void take_head()
    {
        head_taken_ = true;
        t_fields_sent = 0;
        std::string raw;
        char byte;
        const auto ended = [&] { return raw.size() >= 3 && raw.compare(raw.size() - 3, 3, "\n\r\n") == 0; };
        while (!ended() && read_socket(&byte, 1) == 1)
            raw += byte;
        size_t start = raw.find('\n');  // past the request line
        if (!ended() || start == std::string::npos) {
            head_ = std::move(raw);
            return;
        }
        head_ = raw.substr(0, ++start);
        for (size_t end; start < raw.size(); start = end) {
            end = raw.find('\n', start) + 1;
            const std::string_view line(raw.data() + start, end - start);
            const bool blank = end == raw.size();
            t_fields_sent += blank ? 0 : 1;
            if (blank || line.size() < 6 || strncasecmp(line.data(), "range:", 6) != 0)
                head_ += line;
        }
    }

    ssize_t read_socket(char* ptr, size_t size)
    {
        if (consumed_ >= kMaxRequestBytes)
            return -1;
        if (pos_ == end_) {
            if (!wait_for(fd_, POLLIN, read_wait()))
                return -1;
            ssize_t got;
            do
                got = recv(fd_, buffer_, sizeof buffer_, 0);
            while (got < 0 && errno == EINTR);
            if (got <= 0)
                return got;
            pos_ = 0;
            end_ = static_cast<size_t>(got);
        }
        const size_t n = std::min({size, end_ - pos_, kMaxRequestBytes - consumed_});
        std::memcpy(ptr, buffer_ + pos_, n);
        pos_ += n;
        consumed_ += n;
        return static_cast<ssize_t>(n);
    }

    int read_wait() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kReadTimeoutMs));
    }
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
    std::chrono::steady_clock::time_point deadline_;
    char buffer_[4096];
    size_t pos_ = 0, end_ = 0, consumed_ = 0;
    bool head_taken_ = false;
    std::string head_;  // the request head as httplib reads it
    size_t head_pos_ = 0;
};

// A fixed set of worker threads with a bounded wait list. A connection that
// finds the list full is run at once on the accepting thread, marked to be
// closed unanswered, so nothing waits without bound.
class CBoundedPool final : public httplib::TaskQueue {
public:
    // std::system_error when the system refuses a thread; those already
    // started are stopped first.
    CBoundedPool(int workers, size_t max_waiting) : max_waiting_(max_waiting)
    {
        try {
            for (int k = 0; k < workers; ++k)
                threads_.emplace_back([this] { work(); });
        } catch (...) {
            shutdown();
            throw;
        }
    }
    ~CBoundedPool() override { shutdown(); }

    void enqueue(std::function<void()> job) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!stopping_ && jobs_.size() < max_waiting_) {
                jobs_.push_back(std::move(job));
                ready_.notify_one();
                return;
            }
        }
        t_reject = true;
        job();
        t_reject = false;
    }

    void shutdown() override
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
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    size_t max_waiting_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};
}  // namespace

void name_live_thread() { pthread_setname_np(pthread_self(), kThreadName); }

CGuardedServer::CGuardedServer()
{
    new_task_queue = [this] { return workers_.release(); };
}

void CGuardedServer::start_workers()
{
    workers_ = std::make_unique<CBoundedPool>(kMaxClients + kSpareWorkers, kMaxWaiting);
}

bool CGuardedServer::serving_over_limit() { return t_over_limit; }

size_t CGuardedServer::fields_sent() { return t_fields_sent; }

void CGuardedServer::drop_all()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    for (const int sock : open_)
        shutdown(sock, SHUT_RDWR);
}

bool CGuardedServer::process_and_close_socket(socket_t sock)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_ || t_reject) {
            close(sock);
            return false;
        }
        open_.insert(sock);
    }
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
    t_over_limit = ++clients_ > kMaxClients;
    CLimitedStream stream(sock);
    bool closed = false;
    const bool ok = process_request(stream, true, closed, nullptr);
    t_over_limit = false;
    --clients_;
    // Let the client read the answer before the socket goes: a close with
    // unread request bytes would reset the connection.
    shutdown(sock, SHUT_WR);
    char sink[4096];
    size_t drained = 0;
    while (drained < kMaxRequestBytes && wait_for(sock, POLLIN, 100)) {
        const ssize_t got = recv(sock, sink, sizeof sink, 0);
        if (got <= 0)
            break;
        drained += static_cast<size_t>(got);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(sock);
    }
    close(sock);
    return ok;
}
