// SPDX-License-Identifier: Apache-2.0
#include "app/stop_signal.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <initializer_list>

namespace {
volatile std::sig_atomic_t g_stop_signal = 0;
sigset_t g_installed;  // the stop signals given to record_stop_signal

// The first stop signal is recorded; from then on every stop signal has its
// default action, so the next one ends the process at once.
extern "C" void record_stop_signal(int signal_number)
{
    if (g_stop_signal == 0)
        g_stop_signal = signal_number;
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (int other : {SIGINT, SIGTERM, SIGHUP})
        if (sigismember(&g_installed, other))
            sigaction(other, &fallback, nullptr);
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
    // Another stop signal waits until the handler has finished, then ends the process.
    action.sa_mask = g_installed;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (sigismember(&g_installed, signal_number))
            sigaction(signal_number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A parent may have started us with them blocked; one already waiting arrives
    // now, before any work is done.
    pthread_sigmask(SIG_UNBLOCK, &g_installed, nullptr);
}

int stop_signal() { return g_stop_signal; }

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
