// SPDX-License-Identifier: Apache-2.0
// What the window costs beyond the render. Opens the same window vantrel
// does (with its swap-interval request) and, in rounds that alternate so both
// see the same load, runs the window's main loop for N frames, counted here
// (the loop's own iteration: events and timers, then the idle callback's
// redisplay), and vantrel-render for N frames on the same CPU pass, taking
// its frames/s from its summary. Then times display_callback against
// trace_frame alone and the clear, draw and swap on their own. Prints what
// was done about the swap interval and the median frame rates. Without
// DISPLAY it starts its own Xvfb for the run.
//
// usage: display_overhead [--frames N] [--rounds R]   (default 300 frames, 5 rounds)

#include <GL/freeglut.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "window/window.h"
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Frames the window has drawn; the benchmark's own display callback counts them.
int g_frames_drawn = 0;
void counted_display()
{
    display_callback();
    ++g_frames_drawn;
}

// The window's main loop for `frames` frames: frames/s, or 0 when the engine
// failed or the loop was asked to stop.
double window_loop_fps(int frames)
{
    glutDisplayFunc(counted_display);
    g_frames_drawn = 0;
    const auto start = std::chrono::steady_clock::now();
    // What one turn of glutMainLoop does with vantrel's callbacks: events and
    // timers (the display among them), then the idle callback.
    while (g_frames_drawn < frames && !engine_failed()) {
        glutMainLoopEvent();
        glutPostRedisplay();
    }
    glFinish();
    return engine_failed() ? 0.0 : frames / seconds_since(start);
}

// vantrel-render for `frames` frames with this environment (so the same CPU
// pass): the frames/s of its summary line, or 0 when it failed.
double render_fps(int frames)
{
    const std::string output = "/tmp/display_overhead_" + std::to_string(getpid()) + ".ppm";
    const std::string command = std::string("'") + VANTREL_RENDER_PATH + "' --frames " + std::to_string(frames) +
                                " --seed 1 --quiet --output " + output + " 2>&1 >/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return 0.0;
    double fps = 0.0;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr)
        if (const char* at = std::strstr(line, " frames/s"))
            for (const char* p = at; p > line; --p)
                if (p[-1] == ' ') {
                    fps = std::atof(p);
                    break;
                }
    const int status = pclose(pipe);
    std::remove(output.c_str());
    return status == 0 ? fps : 0.0;
}

}  // namespace

int main(int argc, char** argv)
{
    int frames = 300;
    int rounds = 5;
    for (int i = 1; i < argc; i += 2) {
        const bool valued = i + 1 < argc && std::atoi(argv[i + 1]) > 0;
        if (valued && std::strcmp(argv[i], "--frames") == 0) {
            frames = std::atoi(argv[i + 1]);
        } else if (valued && std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "usage: display_overhead [--frames N] [--rounds R]\n");
            return 2;
        }
    }

    CXvfb xvfb;
    const char* display = std::getenv("DISPLAY");
    if ((display == nullptr || display[0] == '\0') && !xvfb.start())
        return 1;

    if (!startup(1u))
        return 1;
    int glut_argc = 1;
    const std::string swap = window_open(&glut_argc, argv, CWindowOptions{});
    // Let the window map before timing.
    for (int i = 0; i < 20; ++i)
        glutMainLoopEvent();
    for (int i = 0; i < 3; ++i)
        display_callback();
    glFinish();

    std::vector<double> window_fps;
    std::vector<double> headless_fps;
    for (int r = 0; r < rounds && !engine_failed(); ++r) {
        window_fps.push_back(window_loop_fps(frames));
        headless_fps.push_back(render_fps(frames));
    }

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
    std::printf("backend %s; %s\n", backend.c_str(), swap.c_str());
    std::printf("main loop against vantrel-render, %d rounds of %d frames each, medians:\n", rounds, frames);
    std::printf("window main loop:        %8.2f frames/s\n", median(window_fps));
    std::printf("vantrel-render:          %8.2f frames/s\n", median(headless_fps));
    std::vector<double> ratios;
    for (size_t r = 0; r < window_fps.size(); ++r)
        ratios.push_back(headless_fps[r] > 0.0 ? window_fps[r] / headless_fps[r] : 0.0);
    std::printf("window / vantrel-render: %8.3f (median of the rounds' ratios:", median(ratios));
    for (double ratio : ratios)
        std::printf(" %.3f", ratio);
    std::printf(")\n");
    std::printf("display_callback against trace_frame alone, interleaved, %d frames each:\n", frames);
    std::printf("headless trace_frame: %8.2f frames/s (%.2f ms/frame)\n", frames / headless_seconds,
                1000.0 * headless_seconds / frames);
    std::printf("window display_callback: %8.2f frames/s (%.2f ms/frame)\n", frames / window_seconds,
                1000.0 * window_seconds / frames);
    std::printf("window overhead:         %.2f ms/frame (difference); clear + draw + swap alone %.2f ms\n",
                1000.0 * (window_seconds - headless_seconds) / frames, 1000.0 * draw_seconds / frames);
    return 0;
}
