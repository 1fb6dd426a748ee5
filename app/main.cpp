// SPDX-License-Identifier: Apache-2.0
// vantrel: the interactive window. Builds the host state and the render
// engine, opens the window and refines the picture until the window is closed
// or the process is asked to stop (SIGINT, SIGTERM, SIGHUP); then shuts down
// in order. Running out of memory ends it with one line and status 1, an
// unknown option or a -geometry that is none or does not fit the screen with
// status 2, a display that cannot be opened with status 1, each before
// anything starts.

#include <GL/freeglut.h>

#include "app/program_info.h"
#include "app/startup.h"
#include "app/stop_signal.h"
#include "app/window.h"
#include "engine/engine.h"

int main(int argc, char** argv)
{
    prepare_standard_streams();
    if (const std::optional<int> status = window_info_option(argc, argv))
        return *status;
    if (const int status = window_display_check(argc, argv); status != 0)
        return status;
    return run_guarded("vantrel", "shut down", [&] {
        install_stop_signals();
        if (std::string failure; !startup(millisecond_clock(), &failure)) {
            std::fprintf(stderr, "vantrel: start-up failed: %s\n", failure.c_str());
            return 1;
        }
        if (stop_signal() == 0) {
            window_open(&argc, argv);
            glutMainLoop();
        }
        const bool failed = engine_failed();
        shutdown();
        return failed ? 1 : 0;
    });
}
