// SPDX-License-Identifier: Apache-2.0
#include "render/live/listen_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

namespace {
std::string numeric_host(const sockaddr* address)
{
    char text[NI_MAXHOST] = "";
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    return text;
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

// Why `host` gives no address to listen on, in the resolver's words.
std::string address_problem(const std::string& host)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int failure = getaddrinfo(host.c_str(), "0", &hints, &found);
    if (found != nullptr)
        freeaddrinfo(found);
    return failure != 0 ? "'" + host + "' is not an address or a known host name (" + gai_strerror(failure) + ")"
                        : "the address was refused";
}

// Whether a request's Host field names a loopback address, localhost or
// `own_name`, with or without a port; an IPv6 address in brackets.
bool host_field_is_loopback(const std::string& field, const std::string& own_name)
{
    std::string host = field, port;
    if (!field.empty() && field[0] == '[') {
        const size_t close = field.find(']');
        if (close == std::string::npos)
            return false;
        host = field.substr(1, close - 1);
        port = field.substr(close + 1);
        if (host.find(':') == std::string::npos || (!port.empty() && port[0] != ':'))
            return false;
    } else if (const size_t colon = field.find(':'); colon != std::string::npos) {
        host = field.substr(0, colon);
        port = field.substr(colon);
    }
    if (!port.empty() && port.find_first_not_of("0123456789", 1) != std::string::npos)
        return false;
    return is_loopback_host(host) || (!own_name.empty() && host.size() == own_name.size() &&
                                      strncasecmp(host.data(), own_name.data(), host.size()) == 0);
}

std::string bound_address(int sock)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0
               ? numeric_host(reinterpret_cast<const sockaddr*>(&address))
               : "";
}

// Whether `host` is an any-address (0.0.0.0, ::), listening on every interface.
bool is_any_address(const std::string& host, bool& ipv6)
{
    in_addr v4{};
    in6_addr v6{};
    ipv6 = inet_pton(AF_INET6, host.c_str(), &v6) == 1;
    return ipv6 ? IN6_IS_ADDR_UNSPECIFIED(&v6) : inet_aton(host.c_str(), &v4) != 0 && v4.s_addr == INADDR_ANY;
}

std::string page_url(const std::string& host, uint16_t port)
{
    std::string shown = host;
    if (host.find(':') != std::string::npos) {
        // A link-local address's zone ("fe80::1%eth0") is written %25eth0 in a URL.
        if (const size_t zone = host.find('%'); zone != std::string::npos)
            shown.replace(zone, 1, "%25");
        shown = "[" + shown + "]";
    }
    return "http://" + shown + ":" + std::to_string(port) + "/";
}

// Where other machines may open a live view that listens on every interface:
// this machine's host name, when it names an address other than loopback
// (Debian names its own 127.0.1.1), then the address of every interface that
// is up, but loopback and IPv6 link-local ones (which need a zone).
std::vector<std::string> hosts_elsewhere(bool ipv6)
{
    std::vector<std::string> hosts;
    char name[256] = "";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = ipv6 ? AF_UNSPEC : AF_INET;
    addrinfo* found = nullptr;
    if (gethostname(name, sizeof name - 1) == 0 && getaddrinfo(name, nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next)
            if (!is_loopback_host(numeric_host(a->ai_addr))) {
                hosts.push_back(name);
                break;
            }
        freeaddrinfo(found);
    }
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0)
        return hosts;
    for (const ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        const sockaddr* address = i->ifa_addr;
        if (address == nullptr || (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0 ||
            (address->sa_family != AF_INET && (address->sa_family != AF_INET6 || !ipv6)) ||
            (address->sa_family == AF_INET6 &&
             IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr)))
            continue;
        if (const std::string host = numeric_host(address);
            !host.empty() && std::find(hosts.begin(), hosts.end(), host) == hosts.end())
            hosts.push_back(host);
    }
    freeifaddrs(interfaces);
    return hosts;
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
    // inet_aton stops at a space and c_str() at a NUL: only plain text is an address here.
    if (host.empty() || std::any_of(host.begin(), host.end(), [](char c) { return c <= ' ' || c >= 0x7f; }))
        return false;
    if (strcasecmp(host.c_str(), "localhost") == 0)
        return true;
    // Every spelling the resolver takes: 127.1, 2130706433, 0x7f.0.0.1, ...
    in_addr v4{};
    if (inet_aton(host.c_str(), &v4) != 0)
        return ntohl(v4.s_addr) >> 24 == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    return false;
}
