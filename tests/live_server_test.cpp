// SPDX-License-Identifier: Apache-2.0
// vantrel-render --serve through a real HTTP client: what every path answers,
// that the served pictures are the frame written, that the last frame's picture
// is written, and the frame hand-over between the render and the server.

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

#include "tests/live_client.h"
#include "tests/run_program.h"
#include "render/live/frame_handover.h"
#include "render/live/head_reader.h"

using namespace test_support;
using namespace std::string_literals;

namespace {
const std::string kProgram = VANTREL_RENDER_PATH;

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

// A request for /stats whose head is `bytes` long, a Cookie field making up the length.
std::string head_of(size_t bytes)
{
    const std::string start = "GET /stats HTTP/1.1\r\nHost: localhost\r\nCookie: ", end = "\r\n\r\n";
    return start + std::string(bytes - start.size() - end.size(), 'c') + end;
}

// A request for /stats whose request line is `bytes` long (its CRLF left out), a query making up the length.
std::string request_line_of(size_t bytes)
{
    const std::string start = "GET /stats?q=", end = " HTTP/1.1";
    return start + std::string(bytes - start.size() - end.size(), 'q') + end + "\r\nHost: localhost\r\n\r\n";
}

// Whether an answer's body is one line saying why, as every refusal's is.
bool says_why(const std::string& type, const std::string& body)
{
    return type.rfind("text/plain", 0) == 0 && body.size() > 1 && body.find('\n') == body.size() - 1;
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
        // A head of up to 16 KiB is read, however long its lines: a field
        // longer than httplib reads in a line (a large Cookie) is left out,
        // unless it is Host; a longer request line gets 414.
        {"", "", head_of(kMaxHeadBytes), 200, ""},
        {"", "", head_of(kMaxHeadBytes + 1), 431, ""},
        {"", "", request_with_fields(2, "Cookie: " + std::string(kMaxLineBytes - 8, 'c')), 200, ""},
        {"", "", request_with_fields(2, "Cookie: " + std::string(kMaxLineBytes - 7, 'c')), 200, ""},
        {"", "", request_with_fields(2, "X-" + std::string(kMaxLineBytes, 'x') + ":"), 200, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: " + std::string(kMaxLineBytes, 'h') + "\r\n\r\n", 431, ""},
        {"", "", request_line_of(kMaxLineBytes), 200, ""},
        {"", "", request_line_of(kMaxLineBytes + 1), 414, ""},
        // RFC 9112: empty lines before the request line are ignored; what is
        // not a request line, a field line that is not NAME: VALUE, a control
        // character or a CR without LF gets 400 at once (not 408 at the deadline).
        {"", "", "\r\nGET /stats HTTP/1.1\r\nHost: localhost\r\n\r\n", 200, ""},
        {"", "", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"s, 400, ""},  // TLS on the port
        {"", "", "hello\nworld", 400, ""},
        {"", "", "GET /stats HTTP/1.1\rHost: localhost\r\r", 400, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost\0evil\r\n\r\n"s, 400, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost\r\nX-A: a\0b\r\n\r\n"s, 400, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost\r\nNo colon\r\n\r\n", 400, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost : localhost\r\n\r\n", 400, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost\r\nX-A: a\r\n folded\r\n\r\n", 400, ""},
        {"", "", "GET /st\x01ts HTTP/1.1\r\nHost: localhost\r\n\r\n", 400, ""},
        {"", "", "GET  /stats HTTP/1.1\r\nHost: localhost\r\n\r\n", 400, ""},
        {"", "", "GET /stats HTTP/1.2\r\nHost: localhost\r\n\r\n", 400, ""},
        {"", "", "HEAD /stats HTTP/1.1\r\nHost: localhost\r\nNo colon\r\n\r\n", 400, ""},
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost\r\nX-Empty:\r\n\r\n", 200, ""},
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
        // httplib decodes %XX in field values: the Host checked is the field whole.
        {"", "", "GET /stats HTTP/1.1\r\nHost: localhost%00evil\r\n\r\n", 403, ""},
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
            const std::string body = answer.substr(std::min(answer.size(), head.size() + 4));
            if (expected.raw.rfind("HEAD ", 0) == 0) {
                EXPECT_EQ(body, "") << what;
            } else if (expected.status >= 400) {
                std::smatch type;
                std::regex_search(head, type, std::regex("\r\nContent-Type: ([^\r]*)"));
                EXPECT_TRUE(says_why(type[1], body)) << what << ": " << answer;
            }
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
        if (expected.status >= 400 && expected.method != "HEAD") {
            EXPECT_TRUE(says_why(res->get_header_value("Content-Type"), res->body)) << what << ": " << res->body;
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
