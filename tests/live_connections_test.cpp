// SPDX-License-Identifier: Apache-2.0
// vantrel-render --serve and its connections: that the client limit holds, that
// a client who stops reading or never sends a whole head is dropped while the
// render goes on, which addresses it listens on and which Host it accepts.

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
#include "render/live/live_connections.h"

using namespace test_support;

namespace {
const std::string kProgram = VANTREL_RENDER_PATH;

TEST(LiveServer, LimitsClientsAndDropsAClientThatStopsReading)
{
    CScratchFolder folder;
    const std::filesystem::path image = folder.path() / "open.png";
    CChild child(kProgram, {"--serve", "0", "--seed", "3", "--threads", "2", "--output", image}, folder.path());
    const int port = wait_for_port(child);
    ASSERT_GT(port, 0) << child.err();
    // A few frames in, the picture is noisy: over 600 KB as PNG, more than the
    // server's send buffer and a small window take.
    wait_for_stats(port, [](const std::string& s) {
        return field(s, "picture_frame") != "null" && std::stoul(field(s, "picture_frame")) >= 4;
    });
    httplib::Client client("127.0.0.1", port);

    // Four clients that ask for the picture and never read hold every place
    // for it, so a fifth gets 503; each is dropped 5 seconds after its last
    // progress (docs/live-view.md), then the picture is served again. The
    // margin leaves room for encoding the picture and a loaded machine.
    const std::string picture_request = "GET /image.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const auto asked = std::chrono::steady_clock::now();
    std::vector<int> unread;
    for (int k = 0; k < 4; ++k) {
        unread.push_back(connect_to(port, 4096));
        send(unread.back(), picture_request.data(), picture_request.size(), MSG_NOSIGNAL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    httplib::Result picture = client.Get("/image.png");
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->status, 503) << "the four that read nothing did not hold the picture's places";
    while (picture && picture->status == 503 && std::chrono::steady_clock::now() < asked + kPatience) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        picture = client.Get("/image.png");
    }
    const std::chrono::duration<double> held = std::chrono::steady_clock::now() - asked;
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->status, 200);
    EXPECT_LT(held.count(), 5.0 + 3.0) << "clients that read nothing held the picture for " << held.count() << " s";
    for (const int fd : unread)
        close(fd);
    unread.clear();

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
    const httplib::Result busy = client.Get("/stream");
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status, 503);
    EXPECT_FALSE(busy->get_header_value("Retry-After").empty());
    const httplib::Result figures = client.Get("/stats");
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->status, 200);
    EXPECT_EQ(field(figures->body, "viewers"), "16") << figures->body;
    // Sixty more ask for the picture and never read: the figures still come, each within the bound.
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

// With --frames, the picture and the last checkpoint are written as soon as
// the last frame is done, while the view stays up and says so; stopping it
// writes nothing more. A resumed render's figures count the picture's frames,
// those it was resumed with included, and so does one with nothing to add.
// Idle connections under a low open-file limit cost the render none of its files.

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
}  // namespace
