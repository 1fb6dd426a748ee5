// SPDX-License-Identifier: Apache-2.0
#include "window/window_failure.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>
#include <string>

#include "base/messages.h"
#include "base/one_line.h"
#include "runtime/program_info.h"
#include "runtime/startup.h"

namespace {
// An OpenGL driver with its shader compiler maps about 200 MB (Mesa's
// software one with LLVM). When a failed window leaves less address space
// than this, memory is what it failed for, whatever the driver said.
constexpr size_t kDriverRoom = size_t{256} << 20;

int g_real_stderr = -1;   // while the driver's lines are held
int g_driver_lines = -1;  // where they are held
bool g_window_made = false;
int g_glx_error_base = -1;  // GLX's first error code, known once the window is made
// GLX's errors for a drawable that is gone, counted from its first error
// (GLXBadDrawable, GLXBadCurrentWindow, GLXBadCurrentDrawable, GLXBadWindow
// in the GLX protocol).
constexpr int kGlxLostDrawableErrors[] = {2, 5, 11, 12};

// Where a fault in the driver goes while the driver is called (in_driver),
// and who may go there.
sigjmp_buf g_driver_fault;
pthread_t g_driver_thread;
constexpr int kFaults[] = {SIGSEGV, SIGBUS};
struct sigaction g_fault_actions[std::size(kFaults)];  // the ones before

bool memory_short()
{
    void* room = mmap(nullptr, kDriverRoom, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (room == MAP_FAILED)
        return true;
    munmap(room, kDriverRoom);
    return false;
}

void hold_driver_messages()
{
    g_driver_lines = memfd_create("vantrel-driver-lines", MFD_CLOEXEC);
    if (g_driver_lines < 0)
        return;  // then they go straight to stderr
    std::fflush(stderr);
    g_real_stderr = dup(STDERR_FILENO);
    if (g_real_stderr >= 0 && dup2(g_driver_lines, STDERR_FILENO) >= 0)
        return;
    if (g_real_stderr >= 0)
        close(g_real_stderr);
    g_real_stderr = -1;
    close(g_driver_lines);
    g_driver_lines = -1;
}

// Puts stderr back, with the held lines on it when `show`.
void release_driver_messages(bool show)
{
    if (g_real_stderr < 0)
        return;
    std::fflush(stderr);
    dup2(g_real_stderr, STDERR_FILENO);
    close(g_real_stderr);
    g_real_stderr = -1;
    char chunk[4096];
    ssize_t length = 0;
    for (off_t at = 0; show && (length = pread(g_driver_lines, chunk, sizeof chunk, at)) > 0; at += length)
        if (write(STDERR_FILENO, chunk, static_cast<size_t>(length)) != length)
            break;
    close(g_driver_lines);
    g_driver_lines = -1;
}

// How sure a failure is to come from running out of memory.
enum class CMemoryCause { no, maybe, yes };

// `cause` maybe: the failure is one that running out of memory gives.
[[noreturn]] void end_window(const std::string& why, CMemoryCause cause)
{
    const bool out_of_memory =
        cause == CMemoryCause::yes || (cause == CMemoryCause::maybe && memory_short());
    release_driver_messages(!out_of_memory);
    // Out of memory, the line is put together without allocating.
    if (out_of_memory)
        std::fprintf(stderr, "%s: out of memory; the window %s\n", message_program(),
                     g_window_made ? "failed" : "could not open");
    else
        print_message(why);
    shutdown();
    std::fflush(stdout);
    std::fflush(stderr);
    // Not exit(): GLUT's and the driver's teardown would talk to the display
    // that failed, and print Xlib's lines after ours (or come back here).
    std::_Exit(1);
}

// Xlib calls it when the connection breaks; it must not return.
int display_lost(Display* display)
{
    end_window("the display '" + one_line(DisplayString(display)) + "' was lost (the X server ended or closed the "
               "connection)", CMemoryCause::no);
}

// Every window or drawable the program's requests name is its window (or
// the driver's drawable of it): one of those gone means another program
// destroyed the window. A buffer swap racing the destruction gets GLX's
// error for it, not the core one.
bool names_a_lost_drawable(const XErrorEvent& error)
{
    if (error.error_code == BadWindow || error.error_code == BadDrawable)
        return true;
    if (g_glx_error_base < 0 || error.error_code < g_glx_error_base)
        return false;
    const int glx_error = error.error_code - g_glx_error_base;
    return std::find(std::begin(kGlxLostDrawableErrors), std::end(kGlxLostDrawableErrors), glx_error) !=
           std::end(kGlxLostDrawableErrors);
}

int request_refused(Display* display, XErrorEvent* error)
{
    if (names_a_lost_drawable(*error))
        end_window("the window was destroyed", CMemoryCause::no);
    char text[256];
    XGetErrorText(display, error->error_code, text, sizeof text);  // sends no request: allowed here
    end_window("the X server refused request " + std::to_string(error->request_code) + "." +
               std::to_string(error->minor_code) + ": " + one_line(text), CMemoryCause::maybe);
}

void glut_failed(const char* format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    end_window(std::string(g_window_made ? "GLUT failed: " : "the window could not open: ") + one_line(text),
               CMemoryCause::maybe);
}

void restore_fault_actions()
{
    for (size_t i = 0; i < std::size(kFaults); ++i)
        sigaction(kFaults[i], &g_fault_actions[i], nullptr);
}

// A fault on the thread in the driver with memory short leaves the driver
// for in_driver; any other crashes as it would have: with the actions before
// back, returning faults again.
extern "C" void driver_fault(int)
{
    if (pthread_equal(pthread_self(), g_driver_thread) && memory_short())
        siglongjmp(g_driver_fault, 1);
    restore_fault_actions();
}

// Runs `call`, which calls the GL driver. The software driver does not check
// every allocation: with memory short it faults (while loading, or in a
// frame's glClear, glDrawPixels or buffer swap), and its C++ parts may throw
// std::bad_alloc through it. Either ends the program here; nothing after
// touches the driver left half way. A fault with memory to spare is the
// driver's own bug and crashes as before.
void in_driver(const std::function<void()>& call, const char* crashed)
{
    g_driver_thread = pthread_self();
    if (sigsetjmp(g_driver_fault, 1) != 0) {
        restore_fault_actions();
        end_window(crashed, CMemoryCause::maybe);
    }
    struct sigaction fault {};
    fault.sa_handler = driver_fault;
    sigemptyset(&fault.sa_mask);
    for (size_t i = 0; i < std::size(kFaults); ++i)
        sigaction(kFaults[i], &fault, &g_fault_actions[i]);
    try {
        call();
    } catch (const std::bad_alloc&) {
        restore_fault_actions();
        end_window("out of memory", CMemoryCause::yes);
    } catch (...) {
        restore_fault_actions();
        end_window_for_exception();
    }
    restore_fault_actions();
}
}  // namespace

void end_window_for_exception()
{
    release_driver_messages(true);
    report_escaped_exception("shut down");
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

void make_window(const std::function<void()>& make)
{
    glutInitErrorFunc(glut_failed);
    XSetIOErrorHandler(display_lost);
    XSetErrorHandler(request_refused);
    hold_driver_messages();  // glutInit already asks the display for GLX, which loads the driver
    in_driver(make, "the GL driver crashed making the window");
    release_driver_messages(true);
    int event_base = 0;
    if (Display* display = glXGetCurrentDisplay(); display == nullptr ||
                                                   !glXQueryExtension(display, &g_glx_error_base, &event_base))
        g_glx_error_base = -1;
    g_window_made = true;
}

void draw_in_driver(const std::function<void()>& draw)
{
    in_driver(draw, "the GL driver crashed drawing the window");
}
