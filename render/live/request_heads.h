// SPDX-License-Identifier: Apache-2.0
#pragma once
// The live view's waiting room: accepted connections wait here, all on one
// thread, until their request head has arrived whole; only then does a worker
// take them. A connection that sends nothing costs a file descriptor and a few
// bytes, never a worker or a viewer's place.
// - The head must arrive within kHeadDeadlineMs of the connection. Two
//   seconds: a browser or curl sends it with its first packet, and a lossy
//   link resends a lost packet within about a second. A connection that sent
//   nothing by then is closed unanswered (browsers open connections ahead of
//   use and retry on one closed unused); one that sent part of a head gets 408.
// - At most `capacity` connections wait, and none beyond what the connection
//   budget leaves (render/live/connection_budget.h): a new one displaces the
//   one that has waited longest, so idle connections cannot keep a real
//   client out; with none waiting, the new one is refused.
// - The head is read and checked as it comes (render/live/head_reader.h): a
//   malformed one gets 400 at once, one too long for the limits 414 or 431,
//   a method other than GET or HEAD (methods are case-sensitive) 405 with
//   Allow. Every refusal carries a line of text saying why.
// - A complete head goes to `dispatch`; when no worker can take it, it gets
//   503 with Retry-After: a full server answers rather than resetting.
// Every answer, given here or by a worker, ends here in a lingering close
// (shut for writing, read until the client closes, at most kLingerMs), so that
// bytes the client sent after its head do not turn the answer into a reset;
// lingering costs no worker.

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "render/live/connection_budget.h"
#include "render/live/head_reader.h"

constexpr int kHeadDeadlineMs = 2000;

class CRequestHeads {
public:
    // Given a connection and what came on it as httplib should read it
    // (CHeadReader::for_httplib: the head, then whatever came after it).
    // True: it takes the connection; false: no worker is free.
    using Dispatch = std::function<bool(int fd, const std::string& request)>;

    // Starts the room's thread; std::system_error when the system refuses it.
    // Every connection is closed through `budget`.
    CRequestHeads(size_t capacity, CConnectionBudget& budget, Dispatch dispatch);
    ~CRequestHeads();  // stops first

    // Any thread: the room takes the connection (and closes it once stopped).
    void add(int fd);
    // Any thread: a connection whose answer is sent and which is shut for
    // writing; the room closes it once the client has read it.
    void linger(int fd);
    // Closes every connection waiting here and ends the thread.
    void stop();

private:
    struct CWaiting {
        int fd;
        std::chrono::steady_clock::time_point until;  // the head's deadline, or the lingering close's end
        CHeadReader head;                             // what has come of the head so far
        bool answered = false;                        // closing: what comes now is read and dropped
    };
    void run();
    void read_from(CWaiting& waiting);
    void take_head(CWaiting& waiting);
    void answer(CWaiting& waiting, int status, const std::string& text, const std::string& field = "");
    void give_up(CWaiting& waiting, bool displaced);
    void refuse_and_close(int fd, std::string received);

    const size_t capacity_;
    CConnectionBudget& budget_;
    const Dispatch dispatch_;
    int wake_ = -1;  // an eventfd: new connections or stop
    std::mutex mutex_;
    std::vector<std::pair<int, bool>> arrived_;  // under mutex_; true: to linger
    bool stopping_ = false;     // under mutex_
    std::deque<CWaiting> waiting_;  // the room's thread only, oldest first
    std::thread thread_;
};
