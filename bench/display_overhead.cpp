// SPDX-License-Identifier: Apache-2.0
// What the window costs beyond the render: opens the same window vantrel does
// and times display_callback (clear, trace_frame, draw, swap) against
// trace_frame alone, interleaved so both see the same load, and prints both
// frame rates, and the clear, draw and swap on their own. Without DISPLAY it
// starts its own Xvfb for the run.
//
// usage: display_overhead [--frames N]   (default 300 of each)

#include <GL/freeglut.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/camera.h"
#include "app/frame_buffers.h"
#include "app/startup.h"
#include "app/window.h"
#include "engine/engine.h"

extern char** environ;

namespace {

// A private X server, stopped by its process id.
class CXvfb {
public:
    CXvfb(const CXvfb&) = delete;
    CXvfb& operator=(const CXvfb&) = delete;
    CXvfb() = default;
    ~CXvfb()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Starts Xvfb on a free display and points DISPLAY at it.
    bool start()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        const std::string fd_text = std::to_string(fds[1]);
        const char* args[] = {"Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "1024x768x24",
                              "-nolisten", "tcp", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const int spawned =
            posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char* const*>(args), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            pid_ = 0;
            close(fds[0]);
            std::fprintf(stderr, "display_overhead: cannot start Xvfb: %s\n", std::strerror(spawned));
            return false;
        }
        std::string number;
        pollfd reader{fds[0], POLLIN, 0};
        char c = 0;
        while (poll(&reader, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (c != '\n' || number.empty()) {
            std::fprintf(stderr, "display_overhead: Xvfb did not report a display\n");
            return false;
        }
        setenv("DISPLAY", (":" + number).c_str(), 1);
        return true;
    }

private:
    pid_t pid_ = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    int frames = 300;
    if (argc == 3 && std::strcmp(argv[1], "--frames") == 0 && std::atoi(argv[2]) > 0) {
        frames = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: display_overhead [--frames N]\n");
        return 2;
    }

    CXvfb xvfb;
    const char* display = std::getenv("DISPLAY");
    if ((display == nullptr || display[0] == '\0') && !xvfb.start())
        return 1;

    if (!startup(1u))
        return 1;
    int glut_argc = 1;
    window_open(&glut_argc, argv);
    // Let the window map before timing.
    for (int i = 0; i < 20; ++i)
        glutMainLoopEvent();
    for (int i = 0; i < 3; ++i)
        display_callback();
    glFinish();

    double window_seconds = 0.0;
    double headless_seconds = 0.0;
    double draw_seconds = 0.0;
    for (int i = 0; i < frames && !engine_failed(); ++i) {
        auto start = std::chrono::steady_clock::now();
        display_callback();
        glFinish();
        window_seconds += seconds_since(start);
        start = std::chrono::steady_clock::now();
        trace_frame(g_frame);
        headless_seconds += seconds_since(start);
        start = std::chrono::steady_clock::now();
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        present_frame();
        glFinish();
        draw_seconds += seconds_since(start);
    }
    const bool failed = engine_failed();
    const std::string backend = engine_backend_name();
    shutdown();
    glutExit();
    if (failed) {
        std::fprintf(stderr, "display_overhead: the engine failed\n");
        return 1;
    }
    std::printf("backend %s, %d frames each\n", backend.c_str(), frames);
    std::printf("headless trace_frame: %8.2f frames/s (%.2f ms/frame)\n", frames / headless_seconds,
                1000.0 * headless_seconds / frames);
    std::printf("window display_callback: %8.2f frames/s (%.2f ms/frame)\n", frames / window_seconds,
                1000.0 * window_seconds / frames);
    std::printf("window overhead:         %.2f ms/frame (difference); clear + draw + swap alone %.2f ms\n",
                1000.0 * (window_seconds - headless_seconds) / frames, 1000.0 * draw_seconds / frames);
    return 0;
}
