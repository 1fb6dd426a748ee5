// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where the live view listens and who it answers: the --serve address, the
// loopback test behind its Host check, and the addresses it names.

#include <cstdint>
#include <string>
#include <vector>

struct CListenAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 0;  // 0: any free port
    bool host_given = false;
};

// "[ADDRESS:]PORT", the port alone meaning loopback; an IPv6 address goes in
// brackets ("[::1]:8080"). False with `error` saying what is wrong.
bool parse_listen_address(const std::string& text, CListenAddress& address, std::string& error);

// Whether `host` names this machine's loopback interface only: localhost, an
// IPv4 address in 127.0.0.0/8 in any spelling the resolver reads (127.1,
// 2130706433), ::1 or an IPv4-mapped loopback address (::ffff:127.0.0.1).
bool is_loopback_host(const std::string& host);

// Whether a request's Host field names a loopback address, localhost or
// `own_name` (the name the view listens on, which names loopback here), with
// or without a port; an IPv6 address in brackets.
bool host_field_is_loopback(const std::string& field, const std::string& own_name = "");
// The numeric address a socket is bound to ("127.0.0.1", "fe80::1%eth0"), or "".
std::string bound_address(int sock);
// Whether `host` is an any-address (0.0.0.0, ::), listening on every interface.
bool is_any_address(const std::string& host, bool& ipv6);
// http://HOST:PORT/, an IPv6 address in brackets with its zone's % as %25.
std::string page_url(const std::string& host, uint16_t port);
// Where other machines may open a live view that listens on every interface.
std::vector<std::string> hosts_elsewhere(bool ipv6);
// Why `host` gives no address to listen on, in the resolver's words.
std::string address_problem(const std::string& host);
