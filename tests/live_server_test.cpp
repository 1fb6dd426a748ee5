// SPDX-License-Identifier: Apache-2.0
// vantrel-render --serve through a real HTTP client: what every path answers,
// that the served pictures are the frame written, that the client limit holds
// and that a client who stops reading is dropped while the render goes on.

#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <turbojpeg.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/run_program.h"
#include "render/live/frame_handover.h"
#include "render/live/live_connections.h"

using test_support::CChild;
using test_support::CImage;
using test_support::CScratchFolder;

namespace {
const std::string kProgram = VANTREL_RENDER_PATH;
constexpr auto kPatience = std::chrono::seconds(120);  // a guard against hanging, not a timing check

// The port from the "live view at" line; 0 if the program ended or never said.
int wait_for_port(CChild& child)
{
    const auto until = std::chrono::steady_clock::now() + kPatience;
    std::smatch match;
    while (std::chrono::steady_clock::now() < until) {
        const std::string err = child.err();
        if (std::regex_search(err, match, std::regex("live view at http://127\\.0\\.0\\.1:(\\d+)/")))
            return std::stoi(match[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// One field of /stats, as text ("" when absent).
std::string field(const std::string& json, const std::string& name)
{
    std::smatch match;
    return std::regex_search(json, match, std::regex("\"" + name + "\":([^,}]*)")) ? match[1].str() : "";
}

// Polls /stats until `ready` holds; the last answer.
template <typename Ready>
std::string wait_for_stats(int port, Ready ready)
{
    httplib::Client client("127.0.0.1", port);
    const auto until = std::chrono::steady_clock::now() + kPatience;
    std::string body;
    while (std::chrono::steady_clock::now() < until) {
        if (const auto res = client.Get("/stats"); res && res->status == 200 && ready(body = res->body))
            return body;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return body;
}

// A socket connected to the live view on loopback, or -1; `window`: its
// receive buffer's size when set, small so that the server's writes stall soon.
int connect_to(int port, int window = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (window > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes; "<reset>" or "<no close>" appended when it ends otherwise.
std::string read_to_close(int fd)
{
    const timeval patience{120, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string answer;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    return got == 0 ? answer : answer + (errno == ECONNRESET ? "<reset>" : "<no close>");
}

// What the server answers to bytes a client library would not send; "" if nothing.
std::string raw_exchange(int port, const std::string& request)
{
    const int fd = connect_to(port);
    if (fd < 0)
        return "";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string answer = read_to_close(fd);
    close(fd);
    return answer;
}

bool decode_jpeg(const std::string& bytes, CImage& image)
{
    tjhandle decoder = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colours = 0;
    auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    bool ok = decoder && tjDecompressHeader3(decoder, data, bytes.size(), &width, &height, &subsampling, &colours) == 0;
    if (ok) {
        image.width = static_cast<uint32_t>(width);
        image.height = static_cast<uint32_t>(height);
        image.rgb.assign(size_t{image.width} * image.height * 3, 0);
        ok = tjDecompress2(decoder, data, bytes.size(), image.rgb.data(), width, 0, height, TJPF_RGB, 0) == 0;
    }
    if (decoder)
        tjDestroy(decoder);
    return ok;
}

// The first picture of /stream: the body of its first part.
std::string first_stream_jpeg(int port)
{
    httplib::Client client("127.0.0.1", port);
    std::string received, jpeg;
    const std::regex part("^--vantrelframe\r\nContent-Type: image/jpeg\r\nContent-Length: (\\d+)\r\n\r\n");
    client.Get("/stream", [&](const char* data, size_t size) {
        received.append(data, size);
        std::smatch match;
        if (std::regex_search(received, match, part)) {
            const size_t length = std::stoul(match[1]);
            if (received.size() >= match.length(0) + length) {
                jpeg = received.substr(match.length(0), length);
                return false;
            }
        }
        return received.size() < 4'000'000;
    });
    return jpeg;
}

// Per channel, the mean over 8 x 8 blocks of how far the blocks' means differ:
// JPEG keeps a block's mean and drops the pixel noise within it.
double block_difference(const CImage& a, const CImage& b)
{
    double sum = 0.0;
    size_t blocks = 0;
    for (uint32_t r0 = 0; r0 + 8 <= a.height; r0 += 8)
        for (uint32_t c0 = 0; c0 + 8 <= a.width; c0 += 8, ++blocks)
            for (int channel = 0; channel < 3; ++channel) {
                int difference = 0;
                for (uint32_t r = r0; r < r0 + 8; ++r)
                    for (uint32_t c = c0; c < c0 + 8; ++c)
                        difference += int{a.at(r, c)[channel]} - int{b.at(r, c)[channel]};
                sum += std::abs(difference) / 64.0;
            }
    return sum / (blocks * 3);
}

struct CAnswer {
    std::string method, path;  // through httplib's client
    std::string raw;           // or these bytes on a socket, when set
    int status;
    std::string type;  // the Content-Type's start; "" for no check
    httplib::Headers headers = {};  // the client's, beside its own Host (unless one is here)
};

// A request of `fields` header fields, a loopback Host first, then, ..., then `last` when given.
std::string request_with_fields(size_t fields, const std::string& last = "")
{
    std::string request = "GET /stats HTTP/1.1\r\nHost: localhost\r\n";
    for (size_t k = 1; k + (last.empty() ? 0 : 1) < fields; ++k)
        request += "X-" + std::to_string(k) + ": y\r\n";
    return request + (last.empty() ? "" : last + "\r\n") + "\r\n";
}

TEST(LiveServer, EveryPathAnswersAndServesTheFrameThatIsWritten)
{
    CScratchFolder folder;
    const std::filesystem::path image = folder.path() / "final.png";
    CChild child(kProgram, {"--serve", "0", "--frames", "6", "--seed", "21", "--threads", "2", "--output", image},
                 folder.path());
    const int port = wait_for_port(child);
    ASSERT_GT(port, 0) << child.err();
    EXPECT_EQ(child.err().find("reachable from the network"), std::string::npos) << child.err();
    const std::string stats = wait_for_stats(port, [](const std::string& s) { return field(s, "finished") == "true"; });
    ASSERT_EQ(field(stats, "finished"), "true") << stats;
    EXPECT_EQ(field(stats, "frames_done"), "6");
    EXPECT_EQ(field(stats, "picture_frame"), "6");

    std::string many_headers = "GET / HTTP/1.1\r\nHost: x\r\n";
    for (int k = 0; k < 100; ++k)
        many_headers += "X-" + std::to_string(k) + ": y\r\n";
    const std::string long_headers = "GET / HTTP/1.1\r\nHost: x\r\nX-A: " + std::string(7000, 'a') +
                                     "\r\nX-B: " + std::string(7000, 'b') + "\r\nX-C: " + std::string(7000, 'c') +
                                     "\r\n\r\n";
    const std::vector<CAnswer> answers = {
        {"GET", "/", "", 200, "text/html"},
        {"HEAD", "/", "", 200, "text/html"},
        {"GET", "/stats", "", 200, "application/json"},
        {"GET", "/stats?x=1", "", 200, "application/json"},
        {"GET", "/image.png", "", 200, "image/png"},
        {"HEAD", "/stream", "", 200, "multipart/x-mixed-replace; boundary=vantrelframe"},
        {"GET", "/nothing", "", 404, "text/plain"},
        {"GET", "/stats/", "", 404, ""},
        {"GET", "/../../etc/passwd", "", 404, ""},
        {"GET", "/%2e%2e/render/live/live_page.h", "", 404, ""},
        {"POST", "/stats", "", 405, "text/plain"},
        {"PUT", "/image.png", "", 405, ""},
        {"DELETE", "/", "", 405, ""},
        {"OPTIONS", "/", "", 405, ""},
        {"PATCH", "/stream", "", 405, ""},
        // Methods are case-sensitive; an unknown one is not allowed, a request line that is none is bad.
        {"", "", "BREW /pot HTTP/1.1\r\nHost: x\r\n\r\n", 405, ""},
        {"", "", "get /stats HTTP/1.1\r\nHost: localhost\r\n\r\n", 405, ""},
        {"", "", "Head / HTTP/1.0\r\n\r\n", 405, ""},
        {"", "", "GET /stats\r\nHost: localhost\r\n\r\n", 400, ""},
        {"", "", "GET /stats HTTP/1.1\nHost: localhost\nRange: bytes=9-1\n\n", 200, ""},  // bare LF, as many send
        {"", "", many_headers + "\r\n", 431, ""},
        {"", "", long_headers, 431, ""},
        // The limit counts the fields a client sends, a Range field too.
        {"", "", request_with_fields(kMaxHeaders), 200, ""},
        {"", "", request_with_fields(kMaxHeaders + 1), 431, ""},
        {"", "", request_with_fields(kMaxHeaders, "Range: bytes=9-1"), 200, ""},
        // No ranges: whole answers, well-formed Range or not.
        {"GET", "/image.png", "", 200, "image/png", {{"Range", "bytes=0-9"}}},
        {"GET", "/stats", "", 200, "application/json", {{"Range", "bytes=9-1"}}},
        {"GET", "/", "", 200, "text/html", {{"range", "lines=1-2"}}},
        {"HEAD", "/stream", "", 200, "multipart/x-mixed-replace", {{"Range", "bytes=0-1,4-5"}}},
        // Listening on loopback, only requests for loopback are answered.
        {"GET", "/stats", "", 200, "application/json", {{"Host", "localhost"}}},
        {"GET", "/stats", "", 200, "application/json", {{"Host", "LocalHost:" + std::to_string(port)}}},
        {"GET", "/stats", "", 200, "application/json", {{"Host", "[::1]:" + std::to_string(port)}}},
        {"GET", "/stats", "", 200, "application/json", {{"Host", "[::ffff:127.0.0.1]"}}},
        {"GET", "/stats", "", 200, "application/json", {{"Host", "2130706433"}}},
        {"GET", "/stats", "", 403, "text/plain", {{"Host", "rebound.example:" + std::to_string(port)}}},
        {"GET", "/image.png", "", 403, "text/plain", {{"Host", "127.0.0.1.rebound.example"}}},
        {"GET", "/", "", 403, "", {{"Host", "::1"}}},
        {"GET", "/", "", 403, "", {{"Host", "[::ffff:10.0.0.1]"}}},
        {"", "", "GET /stats HTTP/1.0\r\n\r\n", 403, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost\r\nHost: rebound.example\r\n\r\n", 403, ""},
    };
    httplib::Client client("127.0.0.1", port);
    for (const CAnswer& expected : answers) {
        std::string what = expected.raw.empty() ? expected.method + " " + expected.path : expected.raw.substr(0, 30);
        for (const auto& [name, value] : expected.headers)
            what += ", " + name + ": " + value;
        if (!expected.raw.empty()) {
            const std::string answer = raw_exchange(port, expected.raw);
            EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(expected.status)) << what;
            const std::string head = answer.substr(0, answer.find("\r\n\r\n"));
            EXPECT_EQ(head.find("Range"), std::string::npos) << answer;
            EXPECT_EQ(expected.status == 405, head.find("\r\nAllow: GET, HEAD") != std::string::npos) << answer;
            continue;
        }
        httplib::Request request;
        request.method = expected.method;
        request.path = expected.path;
        request.headers = expected.headers;
        if (expected.method == "POST" || expected.method == "PUT")
            request.body = "body";
        const httplib::Result res = client.send(request);
        ASSERT_TRUE(res) << what << ": " << httplib::to_string(res.error());
        EXPECT_EQ(res->status, expected.status) << what;
        EXPECT_FALSE(res->has_header("Accept-Ranges") || res->has_header("Content-Range")) << what;

        EXPECT_EQ(res->get_header_value("Content-Type").rfind(expected.type, 0), 0u)
            << what << ": " << res->get_header_value("Content-Type");
        if (expected.status == 405) {
            EXPECT_EQ(res->get_header_value("Allow"), "GET, HEAD") << what;
        }
    }

    // The page carries the picture and every figure's place.
    const httplib::Result page = client.Get("/");
    ASSERT_TRUE(page);
    for (const char* part : {"src=\"/stream\"", "id=\"frames\"", "id=\"fps\"", "id=\"rays\"", "id=\"elapsed\"",
                             "id=\"left\"", "/stats", "/image.png"})
        EXPECT_NE(page->body.find(part), std::string::npos) << part;

    const httplib::Result png = client.Get("/image.png");
    ASSERT_TRUE(png);
    EXPECT_EQ(png->get_header_value("X-Vantrel-Frame"), "6");
    CImage served_png, served_jpeg, written;
    ASSERT_TRUE(test_support::decode_png(png->body, served_png));
    ASSERT_TRUE(decode_jpeg(first_stream_jpeg(port), served_jpeg));

    // The render has finished; the signal ends the showing, not the render.
    child.signal(SIGINT);
    ASSERT_EQ(child.wait(), 0) << child.err();
    EXPECT_EQ(child.err().find("stopped"), std::string::npos) << child.err();
    ASSERT_TRUE(test_support::read_png(image, written));
    EXPECT_EQ(served_png.width, written.width);
    EXPECT_EQ(served_png.height, written.height);
    EXPECT_TRUE(served_png.rgb == written.rgb) << "the PNG served is not the picture written";
    ASSERT_EQ(served_jpeg.width, written.width);
    ASSERT_EQ(served_jpeg.height, written.height);
    // JPEG loses detail, mostly the noise; an upside-down or other picture is far off.
    const double jpeg_difference = block_difference(served_jpeg, written);
    EXPECT_LT(jpeg_difference, 3.0);
    CImage flipped = written;
    for (uint32_t row = 0; row < written.height; ++row)
        std::copy_n(written.at(written.height - 1 - row, 0), written.width * 3, flipped.rgb.begin() + row * written.width * 3);
    EXPECT_GT(block_difference(served_jpeg, flipped), 10 * jpeg_difference);
}

// Until stopped: clients beyond the limit get 503, clients that read nothing
// keep the figures waiting no longer than the bound, and one that reads
// nothing is dropped while the render keeps going.
TEST(LiveServer, LimitsClientsAndDropsAClientThatStopsReading)
{
    CScratchFolder folder;
    const std::filesystem::path image = folder.path() / "open.png";
    CChild child(kProgram, {"--serve", "0", "--seed", "3", "--threads", "2", "--output", image}, folder.path());
    const int port = wait_for_port(child);
    ASSERT_GT(port, 0) << child.err();
    wait_for_stats(port, [](const std::string& s) { return field(s, "picture_frame") != "null"; });

    // Sixteen viewers that read everything fill the server.
    std::atomic<bool> leave{false};
    std::atomic<int> watching{0};
    std::vector<std::thread> viewers;
    for (int k = 0; k < 16; ++k)
        viewers.emplace_back([&] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(std::chrono::seconds(60));
            bool counted = false;
            client.Get("/stream", [&](const char*, size_t) {
                if (!counted)
                    ++watching, counted = true;
                return !leave;
            });
        });
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (watching < 16 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(watching, 16);
    // Only viewers count: a seventeenth gets 503, the figures still come.
    httplib::Client client("127.0.0.1", port);
    const httplib::Result busy = client.Get("/stream");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status, 503);
    EXPECT_FALSE(busy->get_header_value("Retry-After").empty());
    const httplib::Result figures = client.Get("/stats");
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->status, 200);
    EXPECT_EQ(field(figures->body, "viewers"), "16") << figures->body;
    // Sixty more ask for the picture and never read: the figures still come, each within the bound.
    std::vector<int> unread;
    const std::string picture_request = "GET /image.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (int k = 0; k < 60; ++k) {
        unread.push_back(connect_to(port, 4096));
        send(unread.back(), picture_request.data(), picture_request.size(), MSG_NOSIGNAL);
    }
    client.set_read_timeout(std::chrono::seconds(3));
    for (int k = 0; k < 10; ++k) {
        const httplib::Result res = client.Get("/stats");
        ASSERT_TRUE(res) << k << ": " << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200) << k << ": " << res->body;
    }
    for (const int fd : unread)
        close(fd);
    leave = true;
    for (std::thread& viewer : viewers)
        viewer.join();
    const std::string free = wait_for_stats(port, [](const std::string& s) { return field(s, "viewers") == "0"; });
    EXPECT_EQ(field(free, "viewers"), "0") << free;

    // A viewer that never reads.
    const int stalled = connect_to(port, 4096);
    ASSERT_GE(stalled, 0);
    const std::string request = "GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    send(stalled, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string seen = wait_for_stats(port, [](const std::string& s) { return field(s, "viewers") == "1"; });
    const unsigned long frames_then = std::stoul(field(seen, "frames_done"));
    const std::string dropped = wait_for_stats(port, [&](const std::string& s) {
        return field(s, "viewers") == "0" && std::stoul(field(s, "frames_done")) > frames_then + 5;
    });
    EXPECT_EQ(field(dropped, "viewers"), "0") << dropped;
    EXPECT_GT(std::stoul(field(dropped, "frames_done")), frames_then + 5) << dropped;
    close(stalled);

    child.signal(SIGTERM);
    ASSERT_EQ(child.wait(), 128 + SIGTERM) << child.err();
    EXPECT_TRUE(std::regex_search(child.err(), std::regex("stopped by SIGTERM after \\d+ frames;"))) << child.err();
    CImage written;
    EXPECT_TRUE(test_support::read_png(image, written));
}

// Connections that never send a whole request head wait apart: with more of
// them open than may wait at once, real clients are served, and each of them
// ends in an answer or a plain close, never a reset.
TEST(LiveServer, ConnectionsWithoutAWholeHeadKeepNoClientOut)
{
    CScratchFolder folder;
    CChild child(kProgram, {"--serve", "0", "--seed", "5", "--threads", "1", "--output", folder.path() / "idle.png"},
                 folder.path());
    const int port = wait_for_port(child);
    ASSERT_GT(port, 0) << child.err();
    wait_for_stats(port, [](const std::string& s) { return field(s, "picture_frame") != "null"; });

    struct CIdle {
        std::string sent;
        int count;
        std::string ends;  // the statuses it may end with; "none": closed unanswered
    };
    const std::vector<CIdle> kinds = {
        {"", 100, "none"},  // at the deadline, or when newer ones need the room
        {"GET /stats HTTP/1.1\r\nHost: 127.0.0.1\r\n", 300, "408 503"},
    };
    std::vector<std::pair<int, const CIdle*>> idle;
    for (const CIdle& kind : kinds)
        for (int k = 0; k < kind.count; ++k) {
            idle.emplace_back(connect_to(port), &kind);
            ASSERT_GE(idle.back().first, 0);
            send(idle.back().first, kind.sent.data(), kind.sent.size(), MSG_NOSIGNAL);
        }
    httplib::Client client("127.0.0.1", port);
    const httplib::Result stats = client.Get("/stats");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->status, 200);
    CImage picture;
    EXPECT_TRUE(decode_jpeg(first_stream_jpeg(port), picture));
    for (const auto& [fd, kind] : idle) {
        const std::string end = read_to_close(fd);
        const bool answered = end.rfind("HTTP/1.1 ", 0) == 0 && end.find("\r\n\r\n") != std::string::npos &&
                              end.find("<") == std::string::npos;
        const std::string status = end.empty() ? "none" : answered ? end.substr(9, 3) : end;
        EXPECT_NE(kind->ends.find(status), std::string::npos) << "after '" << kind->sent << "': " << end;
        close(fd);
    }
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(), 128 + SIGTERM) << child.err();
}

// Until the render has finished, `count` connections that send nothing stay
// open: one the server closes is opened again.
void hold_idle_connections(CChild& child, int port, int count)
{
    std::vector<int> idle(static_cast<size_t>(count), -1);
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (child.err().find("stays up") == std::string::npos && !child.ended() &&
           std::chrono::steady_clock::now() < until) {
        for (int& fd : idle) {
            char byte;
            if (fd >= 0 && recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN)
                continue;  // still waiting
            if (fd >= 0)
                close(fd);
            fd = connect_to(port);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (const int fd : idle)
        close(fd);
}

// With --frames, the picture and the last checkpoint are written as soon as
// the last frame is done, while the view stays up and says so; stopping it
// writes nothing more. A resumed render's figures count the picture's frames,
// those it was resumed with included, and so does one with nothing to add.
// Idle connections under a low open-file limit cost the render none of its files.
TEST(LiveServer, WritesThePictureWhenTheLastFrameIsDone)
{
    CScratchFolder folder;
    const std::filesystem::path image = folder.path() / "done.png";
    const std::filesystem::path checkpoint = folder.path() / "done.ckpt";
    struct CRun {
        std::vector<std::string> arguments;
        std::string frames;  // the picture's, at the end
        rlim_t files = 0;    // the open-file limit, when set
        int idle = 0;        // connections that send nothing, held open while it renders
    };
    const std::vector<CRun> runs = {
        {{"--frames", "3", "--seed", "8", "--checkpoint", checkpoint}, "3"},
        {{"--frames", "5", "--resume", checkpoint}, "5"},
        {{"--frames", "5", "--resume", checkpoint}, "5"},
        {{"--frames", "40", "--threads", "1", "--resume", checkpoint}, "40", 16, 30},
    };
    for (size_t k = 0; k < runs.size(); ++k) {
        const CRun& run = runs[k];
        std::vector<std::string> arguments = {"--serve", "0", "--quiet", "--output", image};
        arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
        const std::filesystem::path own = folder.path() / std::to_string(k);  // for this run's stdout and stderr
        std::filesystem::create_directory(own);
        CChild child(kProgram, arguments, own,
                     run.files > 0 ? test_support::CChildSetup::with_limit(RLIMIT_NOFILE, run.files)
                                   : test_support::CChildSetup{});
        if (run.idle > 0)
            hold_idle_connections(child, wait_for_port(child), run.idle);
        ASSERT_TRUE(child.wait_for_stderr("stays up until Ctrl+C", kPatience)) << child.err();
        const std::string said = child.err();
        EXPECT_NE(said.find("wrote " + image.string() + ", checkpoint " + checkpoint.string() + " holds " +
                            run.frames + " frames"),
                  std::string::npos)
            << said;
        struct stat written {};
        ASSERT_EQ(stat(image.c_str(), &written), 0);
        CImage picture;
        EXPECT_TRUE(test_support::read_png(image, picture));

        const int port = wait_for_port(child);
        const std::string stats = wait_for_stats(port, [](const std::string&) { return true; });
        for (const char* name : {"frames_done", "frames_total", "picture_frame"})
            EXPECT_EQ(field(stats, name), run.frames) << name << ": " << stats;
        EXPECT_EQ(field(stats, "image_written"), "true") << stats;
        const httplib::Result png = httplib::Client("127.0.0.1", port).Get("/image.png");
        ASSERT_TRUE(png);
        EXPECT_EQ(png->get_header_value("X-Vantrel-Frame"), run.frames);

        child.signal(SIGTERM);
        ASSERT_EQ(child.wait(), 0) << child.err();
        EXPECT_EQ(child.err(), said);
        struct stat after {};
        ASSERT_EQ(stat(image.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, written.st_ino);
        EXPECT_EQ(after.st_mtim.tv_nsec, written.st_mtim.tv_nsec);
    }
}

TEST(LiveServer, ABusyPortIsBadInputBeforeRendering)
{
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    CScratchFolder folder;
    CChild child(kProgram, {"--serve", port, "--frames", "1", "--output", folder.path() / "a.png"}, folder.path());
    EXPECT_EQ(child.wait(), 2);
    EXPECT_EQ(child.out(), "");  // nothing started
    EXPECT_NE(child.err().find("port " + port + " is already in use"), std::string::npos) << child.err();
    EXPECT_TRUE(folder.images().empty());
    close(holder);
}

// A name other than localhost that /etc/hosts gives a loopback address
// (Debian gives the machine's own name 127.0.1.1), or "".
std::string loopback_alias()
{
    std::ifstream hosts("/etc/hosts");
    for (std::string line; std::getline(hosts, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string address, name;
        for (words >> address; address.rfind("127.", 0) == 0 && words >> name;)
            if (strcasecmp(name.c_str(), "localhost") != 0)
                return name;
    }
    return "";
}

// An IPv6 link-local address of this machine with its zone ("fe80::1%eth0"), or "".
std::string link_local_address()
{
    ifaddrs* interfaces = nullptr;
    std::string zoned;
    for (const ifaddrs* i = getifaddrs(&interfaces) == 0 ? interfaces : nullptr; i && zoned.empty(); i = i->ifa_next) {
        char text[NI_MAXHOST];
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET6 && (i->ifa_flags & IFF_UP) != 0 &&
            IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr) &&
            getnameinfo(i->ifa_addr, sizeof(sockaddr_in6), text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
            zoned = text;
    }
    if (interfaces != nullptr)
        freeifaddrs(interfaces);
    return zoned;
}

// Each listening address names addresses to open (a zone written %25), and
// each answers; only one bound to loopback alone, whatever name was given for
// it, refuses a request for another host and keeps quiet about the network.
TEST(LiveServer, NamesAddressesThatAnswerAndChecksTheHostOnLoopbackOnly)
{
    const int probe = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    const bool ipv6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&any6), sizeof any6) == 0;
    close(probe);
    struct CListen {
        std::string address;
        bool network;  // reachable from the network: said so, and any Host answered
    };
    std::vector<CListen> listens = {{"0.0.0.0:0", true}};
    if (ipv6)
        listens.push_back({"[::]:0", true});
    if (const std::string alias = loopback_alias(); !alias.empty())
        listens.push_back({alias + ":0", false});
    if (const std::string zoned = link_local_address(); ipv6 && !zoned.empty())
        listens.push_back({"[" + zoned + "]:0", true});
    for (const CListen& listen : listens) {
        CScratchFolder folder;
        const std::vector<std::string> arguments = {"--serve", listen.address, "--frames", "1", "--quiet",
                                                    "--output", folder.path() / "a.png"};
        CChild child(kProgram, arguments, folder.path());
        ASSERT_TRUE(child.wait_for_stderr("stays up until Ctrl+C", kPatience)) << listen.address << child.err();
        const std::string err = child.err();
        EXPECT_EQ(err.find("reachable from the network") != std::string::npos, listen.network) << err;
        std::smatch line;
        ASSERT_TRUE(std::regex_search(err, line, std::regex("live view at ([^\n]*)"))) << err;
        const std::string said = line[1];
        EXPECT_EQ(said.find("0.0.0.0"), std::string::npos) << said;
        EXPECT_EQ(said.find("[::]"), std::string::npos) << said;
        EXPECT_EQ(listen.address.find('%') != std::string::npos, said.find("%25") != std::string::npos) << said;
        const std::regex url("http://\\[?([^/]*?)\\]?:(\\d+)/");
        int answered = 0;
        for (auto it = std::sregex_iterator(said.begin(), said.end(), url); it != std::sregex_iterator(); ++it) {
            httplib::Client client(std::regex_replace((*it)[1].str(), std::regex("%25"), "%"), std::stoi((*it)[2]));
            const httplib::Result res = client.Get("/stats");
            EXPECT_TRUE(res && res->status == 200) << (*it)[0];
            answered += res ? 1 : 0;
            const httplib::Result rebound = client.Get("/stats", {{"Host", "rebound.example"}});
            EXPECT_TRUE(rebound && rebound->status == (listen.network ? 200 : 403)) << (*it)[0];
        }
        EXPECT_GE(answered, 1) << said;
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(), 0) << child.err();
    }
}

// The render thread copies a picture at most so often, and always the last.
TEST(FrameHandover, CopiesAtMostAtItsRateAndAlwaysTheLastPicture)
{
    CFrameHandover handover(1, {4, 60, 0.0, 0, false, 4});
    EXPECT_EQ(handover.figures().frames_total, 60u);  // before the render begins, what it will do
    EXPECT_FALSE(handover.picture());
    std::vector<uint8_t> pixels(4 * 2 * 3, 0);
    for (uint32_t frame = 1; frame <= 50; ++frame) {
        pixels[0] = static_cast<uint8_t>(frame);
        handover.after_frame(pixels.data(), 4, 2, {frame, 60, 0.0, 0, false});
    }
    EXPECT_EQ(handover.figures().frames_done, 50u);  // the figures follow every frame
    ASSERT_TRUE(handover.picture());
    // 50 quick frames at one picture a second: the first copy, another only after a long stall.
    const uint64_t copies = handover.picture()->number;
    EXPECT_LE(copies, 3u);
    handover.finish(pixels.data(), 4, 2, {50, 60, 0.0, 0, false});
    EXPECT_EQ(handover.picture()->number, copies + 1);
    EXPECT_EQ(handover.picture()->frame, 50u);
    EXPECT_EQ(handover.picture()->pixels, pixels);
    EXPECT_TRUE(handover.figures().finished);
    EXPECT_EQ(handover.wait_newer(copies, std::chrono::milliseconds(0))->number, copies + 1);
}
}  // namespace
