// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live view's connections: httplib's server with every connection served
// under limits, so no client can hold the server, slow it without end or grow
// its memory. Accepted connections wait for their request head in a waiting
// room (render/live/request_heads.h) that refuses what is never served; a
// complete request goes to a fixed set of workers, one request per connection,
// with a write time-out; when none is free and its request's queue is full,
// the client gets 503. Viewers and picture writers are bounded, so some workers
// are always left for the short answers (/stats, the page, refusals), which
// fit in the socket's buffer and never wait on the client. The connections
// held stay within a budget that leaves the render its files
// (render/live/connection_budget.h). No ranges are served: Range fields never
// reach httplib.
// Written against httplib 0.11 (Debian 12), which bounds the length of a
// header line but not how many there are, and reads a request head on the
// thread that serves it: this server serves each accepted socket itself,
// through httplib's request processing. Its limits are compiled into
// Debian's libcpp-httplib; the waiting room keeps within them
// (render/live/head_reader.h).

#include <httplib.h>

#include <memory>
#include <mutex>
#include <set>

#include "render/live/connection_budget.h"
#include "render/live/listen_address.h"
#include "render/live/request_heads.h"

constexpr int kMaxViewers = 16;        // /stream clients served at once; more get 503
constexpr int kMaxPictureWriters = 4;  // /image.png answers being sent at once; more get 503

class CWorkers;

class CGuardedServer final : public httplib::Server {
public:
    CGuardedServer();
    ~CGuardedServer() override;

    // Once bound: starts the threads that serve connections, on the calling
    // thread, for listen_after_bind to use; std::system_error when the system
    // refuses one, std::runtime_error when the open-file limit leaves no
    // connection a descriptor.
    void start_workers();
    // Closes every connection, waiting or being served, and refuses new ones,
    // so stopping does not wait for the time-outs of slow clients; returns
    // once the server's own threads have ended.
    void drop_all();
    // Once bound: the numeric address the listening socket is bound to.
    std::string bound_address() const { return ::bound_address(svr_sock_); }

private:
    // Called on the accepting thread: the socket goes to the waiting room.
    bool process_and_close_socket(socket_t sock) override;
    // A worker serves a request whose head has arrived.
    void serve(int sock, const std::string& request);

    CConnectionBudget budget_;
    std::unique_ptr<CWorkers> workers_;
    std::unique_ptr<CRequestHeads> heads_;
    std::mutex mutex_;
    std::set<int> open_;  // sockets being served
    bool closing_ = false;
};
