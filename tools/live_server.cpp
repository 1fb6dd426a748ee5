#include "tools/live_server.h"

#include <httplib.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <set>
#include <thread>
#include <vector>

#include "tools/image_writer.h"
#include "tools/live_page.h"
#include "tools/progress.h"

namespace {
constexpr int kMaxClients = 16;           // connections served at once; more get 503
constexpr int kSpareWorkers = 4;          // threads left to answer those 503s
constexpr size_t kMaxWaiting = 64;        // accepted connections waiting for a thread; more are closed
constexpr size_t kMaxRequestBytes = 16384;  // request line and headers together
constexpr size_t kMaxHeaders = 64;
constexpr int kSendBufferBytes = 256 * 1024;  // what the kernel may hold for one slow client
constexpr int kReadTimeoutMs = 5000;
constexpr int kWriteTimeoutMs = 5000;       // a client that takes nothing for this long is dropped
constexpr int kRequestDeadlineMs = 10000;   // the whole request must have arrived by then
constexpr int kJpegQuality = 80;
constexpr const char* kBoundary = "vantrelframe";
// The server's threads carry this name, so tools (and bench/live_view_load.py)
// can tell their CPU time from the render's.
constexpr const char* kThreadName = "vantrel-live";

// Set on a worker thread for the connection it is serving.
thread_local bool t_over_limit = false;
// Set on the accepting thread when no worker can take a connection.
thread_local bool t_reject = false;

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
// within kWriteTimeoutMs fails, which ends the response.
class CLimitedStream final : public httplib::Stream {
public:
    explicit CLimitedStream(int fd)
        : fd_(fd), deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs))
    {
    }

    bool is_readable() const override { return pos_ < end_ || wait_for(fd_, POLLIN, read_wait()); }
    bool is_writable() const override { return wait_for(fd_, POLLOUT, kWriteTimeoutMs) && peer_open(); }

    ssize_t read(char* ptr, size_t size) override
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
};

// A fixed set of worker threads with a bounded wait list. A connection that
// finds the list full is run at once on the accepting thread, marked to be
// closed unanswered, so nothing waits without bound.
class CBoundedPool final : public httplib::TaskQueue {
public:
    CBoundedPool(int workers, size_t max_waiting) : max_waiting_(max_waiting)
    {
        for (int k = 0; k < workers; ++k)
            threads_.emplace_back([this] { work(); });
    }

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
            thread.join();
    }

private:
    void work()
    {
        pthread_setname_np(pthread_self(), kThreadName);
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

// httplib's server with each connection served through CLimitedStream, one
// request per connection, and a count of the connections being served.
// (httplib 0.11 bounds the length of a header line, not how many there are.)
class CGuardedServer final : public httplib::Server {
public:
    std::atomic<int> clients{0};

    // Wakes every connection still being served, so stopping does not wait
    // for the time-outs of slow clients.
    void drop_all()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        for (const int sock : open_)
            shutdown(sock, SHUT_RDWR);
    }

private:
    bool process_and_close_socket(socket_t sock) override
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
        t_over_limit = ++clients > kMaxClients;
        CLimitedStream stream(sock);
        bool closed = false;
        const bool ok = process_request(stream, true, closed, nullptr);
        t_over_limit = false;
        --clients;
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

    std::mutex mutex_;
    std::set<int> open_;
    bool closing_ = false;
};

// The latest picture encoded once, however many clients ask for it.
class CEncodedPictures {
public:
    CEncodedPictures() : jpeg_encoder_(tjInitCompress()) {}
    ~CEncodedPictures()
    {
        if (jpeg_encoder_)
            tjDestroy(jpeg_encoder_);
    }

    std::shared_ptr<const std::string> jpeg(const CLivePicture& picture)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (jpeg_number_ != picture.number || !jpeg_) {
            jpeg_.reset();
            unsigned char* data = nullptr;
            unsigned long size = 0;
            // The buffer is bottom row first; the JPEG is upright.
            if (jpeg_encoder_ &&
                tjCompress2(jpeg_encoder_, picture.pixels.data(), static_cast<int>(picture.width), 0,
                            static_cast<int>(picture.height), TJPF_RGB, &data, &size, TJSAMP_420, kJpegQuality,
                            TJFLAG_BOTTOMUP) == 0)
                jpeg_ = std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
            tjFree(data);
            jpeg_number_ = picture.number;
        }
        return jpeg_;
    }

    std::shared_ptr<const std::string> png(const CLivePicture& picture)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (png_number_ != picture.number || !png_) {
            png_.reset();
            std::vector<uint8_t> bytes;
            std::string error;
            if (encode_png(picture.pixels.data(), picture.width, picture.height, bytes, error))
                png_ = std::make_shared<const std::string>(bytes.begin(), bytes.end());
            png_number_ = picture.number;
        }
        return png_;
    }

private:
    std::mutex mutex_;
    tjhandle jpeg_encoder_;
    uint64_t jpeg_number_ = 0, png_number_ = 0;
    std::shared_ptr<const std::string> jpeg_, png_;
};

std::string json_number(double value, bool known)
{
    if (!known)
        return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string stats_json(const CLiveFigures& f, const CLivePicture* picture, int viewers)
{
    const bool bounded = f.frames_total != kFramesUntilStopped;
    const double fps = f.seconds > 0.0 ? f.frames_done / f.seconds : 0.0;
    // Backends that do not count segments report 0; say "unknown" rather than 0.
    const bool rays_known = f.segments > 0 || f.frames_done == 0;
    const double rays = f.seconds > 0.0 ? f.segments / f.seconds / 1e6 : 0.0;
    std::string json = "{\"frames_done\":" + std::to_string(f.frames_done);
    json += ",\"frames_total\":" + (bounded ? std::to_string(f.frames_total) : std::string("null"));
    json += ",\"elapsed_seconds\":" + json_number(f.seconds, true);
    json += ",\"frames_per_second\":" + json_number(fps, true);
    json += ",\"million_rays_per_second\":" + json_number(rays, rays_known);
    json += ",\"seconds_left\":" +
            json_number(f.finished ? 0.0 : seconds_left(f.frames_done, f.frames_total, f.seconds), bounded);
    json += std::string(",\"finished\":") + (f.finished ? "true" : "false");
    json += ",\"picture_frame\":" + (picture ? std::to_string(picture->frame) : std::string("null"));
    json += ",\"viewers\":" + std::to_string(viewers) + "}\n";
    return json;
}

void refuse(httplib::Response& res, int status, const std::string& text)
{
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

bool read_port(const std::string& text, uint16_t& port)
{
    unsigned value = 0;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (text.empty() || text[0] < '0' || text[0] > '9' || error != std::errc() || end != last || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}
}  // namespace

struct CLiveServer::CImpl {
    const CFrameHandover& handover;
    CListenAddress address;
    CGuardedServer server;
    CEncodedPictures encoded;
    std::atomic<int> viewers{0};
    std::atomic<bool> stopping{false};
    std::atomic<bool> listen_ended{false};
    std::thread listener;

    explicit CImpl(const CFrameHandover& source) : handover(source) {}
    void route();
};

void CLiveServer::CImpl::route()
{
    const httplib::Headers common = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
    server.set_default_headers(common);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (t_over_limit) {
            res.set_header("Retry-After", "5");
            refuse(res, 503, "too many clients; try again later");
        } else if (req.headers.size() > kMaxHeaders) {
            refuse(res, 431, "too many header fields");
        } else if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            refuse(res, 405, "only GET and HEAD");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty() && res.status == 404)
            refuse(res, 404, "not found; the pages are /, /stream, /image.png and /stats");
    });

    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kLivePage, sizeof kLivePage - 1, "text/html; charset=utf-8");
    });
    server.Get("/stats", [this](const httplib::Request&, httplib::Response& res) {
        const std::shared_ptr<const CLivePicture> picture = handover.picture();
        res.set_content(stats_json(handover.figures(), picture.get(), viewers.load()), "application/json");
    });
    server.Get("/image.png", [this](const httplib::Request&, httplib::Response& res) {
        const std::shared_ptr<const CLivePicture> picture = handover.picture();
        const std::shared_ptr<const std::string> png = picture ? encoded.png(*picture) : nullptr;
        if (!png) {
            res.set_header("Retry-After", "1");
            return refuse(res, 503, picture ? "the picture could not be encoded" : "no frame rendered yet");
        }
        res.set_header("X-Vantrel-Frame", std::to_string(picture->frame));
        res.set_content(*png, "image/png");
    });
    server.Get("/stream", [this](const httplib::Request&, httplib::Response& res) {
        ++viewers;
        auto sent = std::make_shared<uint64_t>(0);  // number of the last picture sent
        res.set_content_provider(
            std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
            [this, sent](size_t, httplib::DataSink& sink) {
                if (stopping)
                    return false;
                const std::shared_ptr<const CLivePicture> picture =
                    handover.wait_newer(*sent, std::chrono::milliseconds(250));
                if (!picture || picture->number <= *sent)
                    return sink.is_writable();  // idle: notices a client that left or stopped reading
                *sent = picture->number;
                const std::shared_ptr<const std::string> jpeg = encoded.jpeg(*picture);
                if (!jpeg)
                    return false;
                const std::string head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\n" +
                                         "Content-Length: " + std::to_string(jpeg->size()) + "\r\n\r\n";
                return sink.write(head.data(), head.size()) && sink.write(jpeg->data(), jpeg->size()) &&
                       sink.write("\r\n", 2);
            },
            [this](bool) { --viewers; });
    });
}

bool parse_listen_address(const std::string& text, CListenAddress& address, std::string& error)
{
    address = CListenAddress{};
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "'" + text + "' must be [IPv6-ADDRESS]:PORT";
            return false;
        }
        address.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        address.host_given = true;
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        address.host_given = true;
        if (address.host.find(':') != std::string::npos) {
            error = "'" + text + "': an IPv6 address goes in brackets, as in [::1]:8080";
            return false;
        }
    }
    if (address.host_given && address.host.empty()) {
        error = "'" + text + "' has an empty address before the port";
        return false;
    }
    if (!read_port(port, address.port)) {
        error = "'" + text + "': the port must be a whole number from 0 to 65535";
        return false;
    }
    return true;
}

bool is_loopback_host(const std::string& host)
{
    return host == "localhost" || host.rfind("127.", 0) == 0 || host == "::1";
}

std::unique_ptr<CLiveServer> CLiveServer::start(const CListenAddress& address, const CFrameHandover& handover,
                                                std::string& error)
{
    auto impl = std::make_unique<CImpl>(handover);
    impl->address = address;
    impl->server.new_task_queue = [] { return new CBoundedPool(kMaxClients + kSpareWorkers, kMaxWaiting); };
    impl->route();
    // httplib's default also sets SO_REUSEPORT, which would let a second
    // program share a busy port instead of being refused.
    impl->server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    errno = 0;
    int port = address.port;
    const bool bound = port == 0 ? (port = impl->server.bind_to_any_port(address.host)) > 0
                                 : impl->server.bind_to_port(address.host, port);
    const int why = errno;
    if (!bound) {
        const std::string where = "port " + std::to_string(address.port) + " on " + address.host;
        if (why == EADDRINUSE)
            error = "port " + std::to_string(address.port) + " is already in use on " + address.host;
        else if (why == EACCES)
            error = "no permission to listen on " + where;
        else if (why == EADDRNOTAVAIL)
            error = "cannot listen on " + where + ": the address is not one of this machine's";
        else
            error = "cannot listen on " + where + (why ? std::string(": ") + std::strerror(why) : std::string());
        return nullptr;
    }
    impl->address.port = static_cast<uint16_t>(port);
    CImpl* running = impl.get();
    impl->listener = std::thread([running] {
        pthread_setname_np(pthread_self(), kThreadName);
        running->server.listen_after_bind();
        running->listen_ended = true;
    });
    return std::unique_ptr<CLiveServer>(new CLiveServer(std::move(impl)));
}

CLiveServer::CLiveServer(std::unique_ptr<CImpl> impl) : impl_(std::move(impl)) {}

CLiveServer::~CLiveServer() { stop(); }

void CLiveServer::stop()
{
    if (!impl_->listener.joinable())
        return;
    impl_->stopping = true;
    // stop() acts only on a running server; the listener may still be starting.
    while (!impl_->server.is_running() && !impl_->listen_ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->server.stop();
    impl_->server.drop_all();
    impl_->listener.join();
}

std::string CLiveServer::url() const
{
    const std::string& host = impl_->address.host;
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + shown + ":" + std::to_string(impl_->address.port) + "/";
}
