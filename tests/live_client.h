// SPDX-License-Identifier: Apache-2.0
#pragma once
// Test helpers for the live view: a client's side of vantrel-render --serve,
// through cpp-httplib or on a raw socket, and its pictures read back.

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/run_program.h"

namespace test_support {

inline constexpr auto kPatience = std::chrono::seconds(120);  // a guard against hanging, not a timing check

// The port from the "live view at" line; 0 if the program ended or never said.
inline int wait_for_port(CChild& child)
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
inline std::string field(const std::string& json, const std::string& name)
{
    std::smatch match;
    return std::regex_search(json, match, std::regex("\"" + name + "\":([^,}]*)")) ? match[1].str() : "";
}

// Polls /stats until `ready` holds; the last answer.
template <typename Ready>
inline std::string wait_for_stats(int port, Ready ready)
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
inline int connect_to(int port, int window = 0)
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
inline std::string read_to_close(int fd)
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
inline std::string raw_exchange(int port, const std::string& request)
{
    const int fd = connect_to(port);
    if (fd < 0)
        return "";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    const std::string answer = read_to_close(fd);
    close(fd);
    return answer;
}

inline bool decode_jpeg(const std::string& bytes, CImage& image)
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
inline std::string first_stream_jpeg(int port)
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
inline double block_difference(const CImage& a, const CImage& b)
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

// Until the render has finished, `count` connections that send nothing stay
// open: one the server closes is opened again.
inline void hold_idle_connections(CChild& child, int port, int count)
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

}  // namespace test_support
