// SPDX-License-Identifier: Apache-2.0
#include "window/window.h"

#include <GL/freeglut.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <deque>
#include <string>

#include "base/image_size.h"
#include "base/messages.h"
#include "base/one_line.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/stop_signal.h"
#include "window/swap_control.h"
#include "window/window_failure.h"
#include "window/window_options.h"
#include "engine/engine.h"

namespace {
// How often the loop looks at the stop flag even when no frame is drawn
// (a hidden window gets no display events).
constexpr unsigned kStopPollMs = 100;

// Leaves the main loop when a signal asked for it or the engine can no longer
// render; true when it did.
bool leave_if_stopping()
{
    if (stop_signal() == 0 && !engine_failed())
        return false;
    glutLeaveMainLoop();
    return true;
}

void poll_stop(int)
{
    if (!leave_if_stopping())
        glutTimerFunc(kStopPollMs, poll_stop, 0);
}

// freeglut takes the size of a -geometry that gives only a place from
// values it never set (a window of 35328 x 32767, say, that the X server then
// refuses to draw): such a one gets the default size put in front of it.
void size_placed_geometries(char** argv, const CWindowOptions& options)
{
    static std::deque<std::string> sized;  // glutInit reads them through argv; a deque keeps them in place
    for (const CGeometryArgument& argument : options.geometries)
        if (!argument.geometry.sized)
            argv[argument.index] =
                sized.emplace_back(std::to_string(kImageWidth) + "x" + std::to_string(kImageHeight) + argv[argument.index])
                    .data();
}
}  // namespace

int window_display_check(const char* const* argv, const CWindowOptions& options)
{
    const char* name = options.display;
    // XOpenDisplay("") would open $DISPLAY, here empty itself.
    Display* display = name != nullptr && name[0] != '\0' ? XOpenDisplay(name) : nullptr;
    if (display == nullptr) {
        const std::string why = name == nullptr    ? std::string("DISPLAY is not set")
                                : name[0] == '\0' ? std::string("DISPLAY is empty")
                                                  : "cannot open display '" + one_line(name) + "'";
        print_message(why + ", so no window can open; " + kRenderProgram +
                      " renders the picture to an image file without a display");
        return 1;
    }
    // The screen GLUT opens the window on is the display's default one.
    const long screen_width = DisplayWidth(display, DefaultScreen(display));
    const long screen_height = DisplayHeight(display, DefaultScreen(display));
    XCloseDisplay(display);
    for (const CGeometryArgument& argument : options.geometries) {
        const std::string misfit =
            window_geometry_misfit(argv[argument.index], argument.geometry, screen_width, screen_height);
        if (!misfit.empty()) {
            print_message(misfit + " of display '" + one_line(name) + "' (see " + kWindowProgram + " --help)");
            return kUsageStatus;
        }
    }
    return 0;
}

const char* window_open(int* argc, char** argv, const CWindowOptions& options)
{
    // The defaults go in first: glutInit then reads -geometry over them.
    glutInitWindowPosition(100, 100);
    glutInitWindowSize(static_cast<int>(kImageWidth), static_cast<int>(kImageHeight));
    size_placed_geometries(argv, options);
    make_window([&] {
        glutInit(argc, argv);
        glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
        glutInitDisplayMode(GLUT_DOUBLE | GLUT_DEPTH | GLUT_RGB);
        glutCreateWindow("Vantrel Prototype 1");
    });
    glutIdleFunc(glutPostRedisplay);
    glutDisplayFunc(display_callback);
    glutTimerFunc(kStopPollMs, poll_stop, 0);
    return request_unsynced_swaps();
}

void display_callback()
{
    if (leave_if_stopping())
        return;
    draw_in_driver([] { glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT); });
    try {
        trace_frame(g_frame);
    } catch (...) {
        end_window_for_exception();
    }
    // A frame the device failed has no picture: present nothing, stop.
    if (engine_failed()) {
        glutLeaveMainLoop();
        return;
    }
    present_frame();
}

void present_frame()
{
    draw_in_driver([] {
        // The raster position stays at the lower-left corner: row 0 at the bottom.
        glDrawPixels(static_cast<GLsizei>(kImageWidth), static_cast<GLsizei>(kImageHeight), GL_RGB,
                     GL_UNSIGNED_BYTE, g_frame.pixel_buffer.get());
        glutSwapBuffers();
    });
}
