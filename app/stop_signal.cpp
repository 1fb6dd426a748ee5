#include "app/stop_signal.h"

#include <csignal>

namespace {
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void record_stop_signal(int signal_number) { g_stop_signal = signal_number; }
}  // namespace

void install_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = record_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);  // a closed terminal or ssh session
}

int stop_signal() { return g_stop_signal; }
