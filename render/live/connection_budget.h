// SPDX-License-Identifier: Apache-2.0
#pragma once
// How many connection sockets the live view may hold at once. The open-file
// limit is shared with the render, which must always be able to write its
// picture and checkpoints: the live view takes only what the limit leaves
// beyond the descriptors open when it starts and a reserve for those files.
// Every connection counts from its accept to its close, and the accepting
// thread waits until one more would still fit, so no accept ever takes a
// descriptor of the reserve: connections beyond the budget are refused.

#include <condition_variable>
#include <cstddef>
#include <mutex>

class CConnectionBudget {
public:
    // The sockets the open-file limit leaves to connections now: the limit
    // less the descriptors open and kRenderFileDescriptors; 0 when none.
    static size_t available_now();

    // Before accepting begins; `sockets` counts the one being accepted too.
    void set_sockets(size_t sockets);
    // A socket was accepted.
    void taken();
    // Closes a connection's socket and counts it.
    void close(int fd);
    // Whether every socket is held: accepting another would take a descriptor
    // of the reserve.
    bool full() const;
    // The accepting thread waits here until another socket fits, or stop().
    void wait_for_room();
    void stop();

private:
    mutable std::mutex mutex_;
    std::condition_variable room_;
    size_t sockets_ = 0, held_ = 0;
    bool stopping_ = false;
};
