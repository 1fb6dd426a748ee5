// SPDX-License-Identifier: Apache-2.0
#include "runtime/stop_signal.h"

#include <pthread.h>
#include <time.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t g_stop_signal = 0;
sigset_t g_installed;  // the stop signals given to record_stop_signal
int64_t g_first_ns = 0;  // when the first stop signal came, on the monotonic clock
volatile std::sig_atomic_t g_defer_later = 0;
volatile std::sig_atomic_t g_later_signal = 0;  // a later one noted while deferred

// Stop signals that come this soon after the first belong to the same request:
// a closed terminal sends SIGHUP twice (from the shell and from the hang-up),
// timeout signals the child and then its whole process group.
constexpr int64_t kSameRequestNs = 1'000'000'000;

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
    return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Ends the process by the signal's default action once the handler returns.
void end_by(int signal_number)
{
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    raise(signal_number);
}

// The first stop signal is recorded. One that comes a second or more later
// ends the process at once, by its default action once this handler returns.
extern "C" void record_stop_signal(int signal_number)
{
    const int64_t now = monotonic_ns();
    if (g_stop_signal == 0) {
        g_first_ns = now;
        g_stop_signal = signal_number;
        return;
    }
    if (now - g_first_ns < kSameRequestNs)
        return;
    if (g_defer_later) {
        if (g_later_signal == 0)
            g_later_signal = signal_number;
        return;
    }
    end_by(signal_number);
}
}  // namespace

void install_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = record_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigemptyset(&g_installed);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction inherited {};
        sigaction(signal_number, nullptr, &inherited);
        if (inherited.sa_handler != SIG_IGN)
            sigaddset(&g_installed, signal_number);
    }
    // Another stop signal waits until the handler has finished.
    action.sa_mask = g_installed;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (sigismember(&g_installed, signal_number))
            sigaction(signal_number, &action, nullptr);
    // A parent may have started us with them blocked; one already waiting arrives
    // now, before any work is done.
    pthread_sigmask(SIG_UNBLOCK, &g_installed, nullptr);
}

int stop_signal() { return g_stop_signal; }

void defer_later_stop_signals(bool defer)
{
    g_defer_later = defer ? 1 : 0;
    if (!defer && g_later_signal != 0)
        end_by(g_later_signal);
}

int later_stop_signal() { return g_later_signal; }

const char* signal_name(int signal_number)
{
    switch (signal_number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    }
    static char other[32];
    std::snprintf(other, sizeof other, "signal %d", signal_number);
    return other;
}
