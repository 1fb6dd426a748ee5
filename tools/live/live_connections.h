// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live view's connections: httplib's server with every connection served
// under limits, so no client can hold the server, slow it without end or grow
// its memory: a bounded request (size, header fields, time), one request per
// connection, a write time-out, a bounded number of clients served at once
// (the rest get 503) and of connections waiting for a thread (the rest are
// closed). No ranges are served: Range fields never reach httplib. Written
// against httplib 0.11 (Debian 12), which bounds the length of a header line
// but not how many there are: the server serves each accepted socket itself,
// through httplib's request processing.

#include <httplib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

constexpr int kMaxClients = 16;    // connections served at once; more get 503
constexpr size_t kMaxHeaders = 64;  // header fields a client may send (431 beyond)

// Names the calling thread "vantrel-live", as every server thread is named, so
// tools (and bench/live_view_load.py) can tell the server's CPU time from the render's.
void name_live_thread();

class CGuardedServer final : public httplib::Server {
public:
    CGuardedServer();

    // Starts the threads that serve connections, on the calling thread, for
    // listen_after_bind to take; std::system_error when the system refuses one.
    void start_workers();
    // True on a thread serving a connection beyond kMaxClients: it should answer 503.
    static bool serving_over_limit();
    // The header fields the client sent in the request being served on this
    // thread (Range fields included, although httplib never sees them).
    static size_t fields_sent();
    // Wakes every connection still being served and refuses new ones, so
    // stopping does not wait for the time-outs of slow clients.
    void drop_all();

private:
    bool process_and_close_socket(socket_t sock) override;

    std::unique_ptr<httplib::TaskQueue> workers_;
    std::atomic<int> clients_{0};
    std::mutex mutex_;
    std::set<int> open_;
    bool closing_ = false;
};
