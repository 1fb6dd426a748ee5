// SPDX-License-Identifier: Apache-2.0
// vantrel: the interactive window. Builds the host state and the render
// engine, opens the window and refines the picture until the window is closed
// or the process is asked to stop (SIGINT, SIGTERM, SIGHUP); then shuts down
// in order. Running out of memory ends it with one line and status 1, an
// unknown option or a -geometry that is none or does not fit the screen with
// status 2, a display that cannot be opened with status 1, each before
// anything starts.

#include <GL/freeglut.h>

#include "base/messages.h"
#include "runtime/startup.h"
#include "runtime/stop_signal.h"
#include "window/window.h"
#include "window/window_options.h"
#include "engine/engine.h"

int main(int argc, char** argv)
{
    prepare_standard_streams();
    // Before anything that takes time (opening the display, start-up): a
    // stop asked for from now on is a polite one.
    install_stop_signals();
    CWindowOptions options;
    if (const std::optional<int> status = read_window_options(argc, argv, options))
        return *status;
    if (const int status = window_display_check(argv, options); status != 0)
        return status;
    return run_guarded("shut down", [&] {
        if (std::string failure; !startup(millisecond_clock(), &failure)) {
            print_message("start-up failed: " + failure);
            return 1;
        }
        if (stop_signal() == 0) {
            window_open(&argc, argv, options);
            glutMainLoop();
        }
        const bool failed = engine_failed();
        shutdown();
        return failed ? 1 : 0;
    });
}
