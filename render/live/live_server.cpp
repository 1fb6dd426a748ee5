// SPDX-License-Identifier: Apache-2.0
#include "render/live/live_server.h"

#include <unistd.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/host_threads.h"
#include "render/files/image_writer.h"
#include "render/live/live_connections.h"
#include "render/live/live_page.h"
#include "render/live/live_routes.h"
#include "render/live/live_thread_name.h"
#include "render/progress.h"

namespace {
constexpr int kJpegQuality = 80;
constexpr const char* kBoundary = "vantrelframe";
constexpr auto kPngInterval = std::chrono::seconds(1);

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

    // A PNG costs far more than a JPEG, so a newer picture is encoded at most
    // once every kPngInterval (the final one at once): clients asking for
    // /image.png in a loop cannot take the render's processor or hold every
    // worker. The PNG and the frame it shows.
    std::pair<std::shared_ptr<const std::string>, uint32_t> png(const CLivePicture& picture, bool final)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (!png_ || (png_number_ != picture.number && (final || now - png_time_ >= kPngInterval))) {
            png_.reset();
            std::vector<uint8_t> bytes;
            std::string error;
            if (encode_png(picture.pixels.data(), picture.width, picture.height, bytes, error))
                png_ = std::make_shared<const std::string>(bytes.begin(), bytes.end());
            png_number_ = picture.number;
            png_frame_ = picture.frame;
            png_time_ = now;
        }
        return {png_, png_frame_};
    }

private:
    std::mutex mutex_;
    tjhandle jpeg_encoder_;
    uint64_t jpeg_number_ = 0, png_number_ = 0;
    uint32_t png_frame_ = 0;
    std::chrono::steady_clock::time_point png_time_{};
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
    // Rates and the time left count this run's frames; a resumed render's others were rendered before.
    const uint32_t rendered = f.frames_done - f.first_frame;
    const double fps = f.seconds > 0.0 ? rendered / f.seconds : 0.0;
    // Backends that do not count segments report 0; say "unknown" rather than 0.
    const bool rays_known = f.segments > 0 || rendered == 0;
    const double rays = f.seconds > 0.0 ? f.segments / f.seconds / 1e6 : 0.0;
    const double left =
        f.finished || !bounded ? 0.0 : seconds_left(rendered, f.frames_total - f.first_frame, f.seconds);
    std::string json = "{\"frames_done\":" + std::to_string(f.frames_done);
    json += ",\"frames_total\":" + (bounded ? std::to_string(f.frames_total) : std::string("null"));
    json += ",\"elapsed_seconds\":" + json_number(f.seconds, true);
    json += ",\"frames_per_second\":" + json_number(fps, true);
    json += ",\"million_rays_per_second\":" + json_number(rays, rays_known);
    json += ",\"seconds_left\":" + json_number(left, bounded);
    json += std::string(",\"finished\":") + (f.finished ? "true" : "false");
    json += std::string(",\"image_written\":") + (f.written ? "true" : "false");
    json += ",\"picture_frame\":" + (picture ? std::to_string(picture->frame) : std::string("null"));
    json += ",\"viewers\":" + std::to_string(viewers) + "}\n";
    return json;
}

void refuse(httplib::Response& res, int status, const std::string& text)
{
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

struct CLiveServer::CImpl {
    const CFrameHandover& handover;
    CListenAddress address;
    // Listening on loopback only: then a request must name it in its Host
    // field, so a web page whose name an attacker rebinds to 127.0.0.1 cannot
    // read the picture or the figures through a visitor's browser.
    bool loopback_only = false;
    CGuardedServer server;
    CEncodedPictures encoded;
    std::atomic<int> viewers{0};
    std::atomic<int> picture_writers{0};
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
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        // The field whole: httplib decodes %XX in field values, and its
        // get_header_value would cut "localhost%00evil" at the NUL.
        const auto host = req.headers.find("Host");
        if (loopback_only && (req.headers.count("Host") != 1 || !host_field_is_loopback(host->second, address.host))) {
            const std::string name = is_loopback_host(address.host) ? "" : ", " + address.host;
            refuse(res, 403, "this live view answers requests for localhost" + name + " or a loopback address only");
        } else if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            refuse(res, 405, "only GET and HEAD");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    // httplib offers ranges on HEAD answers; none are served.
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.headers.erase("Accept-Ranges");
    });
    // Every refusal says why in a line, httplib's own too (the waiting room
    // leaves it little to refuse).
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty())
            return;
        if (res.status == 404)
            refuse(res, 404, std::string("not found; the pages are ") + kPageRoute + ", " + kStreamRoute + ", " + kImageRoute +
                                  " and " + kStatsRoute);
        else
            refuse(res, res.status, "the request cannot be served (status " + std::to_string(res.status) + ")");
    });

    server.Get(kPageRoute, [](const httplib::Request&, httplib::Response& res) {
        res.set_content(live_page(), "text/html; charset=utf-8");
    });
    server.Get(kStatsRoute, [this](const httplib::Request&, httplib::Response& res) {
        const std::shared_ptr<const CLivePicture> picture = handover.picture();
        res.set_content(stats_json(handover.figures(), picture.get(), viewers.load()), "application/json");
    });
    server.Get(kImageRoute, [this](const httplib::Request&, httplib::Response& res) {
        // Encoding, or sending to a client that reads slowly, holds a worker:
        // only so many at once, so that the short answers keep theirs.
        if (++picture_writers > kMaxPictureWriters) {
            --picture_writers;
            res.set_header("Retry-After", "1");
            return refuse(res, 503, "too many clients fetching the picture; try again later");
        }
        // Figures first: once they say finished, the picture is the final one.
        const bool finished = handover.figures().finished;
        const std::shared_ptr<const CLivePicture> picture = handover.picture();
        const auto [png, frame] = picture ? encoded.png(*picture, finished) : std::make_pair(nullptr, 0u);
        if (!png) {
            --picture_writers;
            res.set_header("Retry-After", "1");
            return refuse(res, 503, picture ? "the picture could not be encoded" : "no frame rendered yet");
        }
        res.set_header("X-Vantrel-Frame", std::to_string(frame));
        res.set_content_provider(
            png->size(), "image/png",
            [png = png](size_t offset, size_t length, httplib::DataSink& sink) {
                return sink.write(png->data() + offset, length);
            },
            [this](bool) { --picture_writers; });
    });
    server.Get(kStreamRoute, [this](const httplib::Request&, httplib::Response& res) {
        if (++viewers > kMaxViewers) {
            --viewers;
            res.set_header("Retry-After", "5");
            return refuse(res, 503, "too many viewers; try again later");
        }
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

std::unique_ptr<CLiveServer> CLiveServer::start(const CListenAddress& address, const CFrameHandover& handover,
                                                std::string& error)
{
    auto impl = std::make_unique<CImpl>(handover);
    impl->address = address;
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
        else if (why != 0)
            error = "cannot listen on " + where + ": " + std::strerror(why);
        else
            error = "cannot listen on " + where + ": " + address_problem(address.host);
        return nullptr;
    }
    impl->address.port = static_cast<uint16_t>(port);
    // Decided from the address bound, whatever the name given resolved to,
    // before any request can be read.
    impl->loopback_only = is_loopback_host(impl->server.bound_address());
    CImpl* running = impl.get();
    // Every thread the server needs starts here, on the caller's thread, so a
    // thread limit or a lack of memory is reported rather than ending the program;
    // none of them takes a signal.
    try {
        start_threads_without_signals([running] {
            running->server.start_workers();
            running->listener = std::thread([running] {
                name_live_thread();
                running->server.listen_after_bind();
                running->listen_ended = true;
            });
        });
    } catch (const std::system_error& e) {
        throw std::runtime_error("--serve: cannot start the live view's threads: " + e.code().message());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("--serve: ") + e.what());
    }
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

bool CLiveServer::loopback_only() const { return impl_->loopback_only; }

std::string CLiveServer::url() const
{
    // On every interface, the page opens on this machine at loopback.
    bool ipv6 = false;
    const bool any = is_any_address(impl_->address.host, ipv6);
    return page_url(any ? (ipv6 ? "::1" : "127.0.0.1") : impl_->address.host, impl_->address.port);
}

std::string CLiveServer::addresses() const
{
    bool ipv6 = false;
    if (!is_any_address(impl_->address.host, ipv6))
        return url();
    std::string others;
    for (const std::string& host : hosts_elsewhere(ipv6))
        others += (others.empty() ? "" : ", ") + page_url(host, impl_->address.port);
    return url() + (others.empty() ? "" : " (from other machines: " + others + ")");
}
