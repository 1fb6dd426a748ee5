// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live view of vantrel-render --serve: an HTTP server on threads of its
// own that shows what a CFrameHandover holds.
//   /            the page (render/live/live_page.h)
//   /stream      the picture as motion JPEG (multipart/x-mixed-replace)
//   /image.png   the latest picture as PNG
//   /stats       the figures as JSON
// Only GET and HEAD, whole answers only (no ranges); nothing is read from
// disk; requests, viewers and waiting connections are bounded, a connection
// must send its request head within a short deadline, and a client that stops
// reading is dropped after a time-out, so no client can slow the render, grow
// memory or keep others out (render/live/live_connections.h). Listening on
// loopback only (as bound, whatever name was given), it answers only requests
// whose Host names loopback or that name (403 otherwise), against DNS rebinding.

#include <cstdint>
#include <memory>
#include <string>

#include "render/live/frame_handover.h"
#include "render/live/listen_address.h"

class CLiveServer {
public:
    // Listens on `address` and starts serving. Null when it cannot listen;
    // `error` then says why, naming the port. std::runtime_error, saying why,
    // when the system refuses the server's threads.
    static std::unique_ptr<CLiveServer> start(const CListenAddress& address, const CFrameHandover& handover,
                                              std::string& error);
    ~CLiveServer();  // stops first

    // Closes the listening socket and ends every connection; returns once the
    // server's threads have finished.
    void stop();
    // Whether it listens on loopback only, as the address bound says.
    bool loopback_only() const;
    // The page's address on this machine, with the port actually bound;
    // loopback when listening on every interface (0.0.0.0 or ::).
    std::string url() const;
    // url(), and when listening on every interface the addresses other
    // machines may use: the host name (when it names no loopback address) and
    // the interfaces' addresses.
    std::string addresses() const;

    struct CImpl;

private:
    explicit CLiveServer(std::unique_ptr<CImpl> impl);
    std::unique_ptr<CImpl> impl_;
};
