// SPDX-License-Identifier: Apache-2.0
#include "runtime/startup.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <vector>

#include "base/messages.h"
#include "runtime/frame_buffers.h"
#include "engine/engine.h"
#include "engine/host_threads.h"
#include "scene/host_random.h"
#include "scene/built_in_scene.h"

void prepare_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

uint32_t millisecond_clock()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

namespace {
// Once, before the banner: --threads, else OMP_NUM_THREADS (which may name
// any number, or none), else the cores this process may run on.
void decide_threads()
{
    std::string note;
    engine_decide_cpu_threads(&note);
    if (!note.empty())
        std::fprintf(stderr, "%s: %s\n", message_program(), note.c_str());
}

void* end_at_once(void*) { return nullptr; }

// What the render engine and the passes allocate after start-up's host state,
// with room to spare: held back while the threads are tried, so that threads
// which start then still start once the engine holds its memory.
constexpr size_t kEngineHeadroom = size_t{32} << 20;

// A pass whose threads cannot start (a thread limit, little address space
// left for their stacks) would fail the render mid-way. Starts as many threads
// as a pass uses at once and lowers the count to those that started, with a
// line saying so.
void bound_threads_to_what_starts()
{
    const int wanted = engine_cpu_threads();
    void* headroom = mmap(nullptr, kEngineHeadroom, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    std::vector<pthread_t> started;
    int failure = 0;
    while (static_cast<int>(started.size()) + 1 < wanted) {
        pthread_t thread;
        if ((failure = pthread_create(&thread, nullptr, end_at_once, nullptr)) != 0)
            break;
        started.push_back(thread);
    }
    for (pthread_t thread : started)
        pthread_join(thread, nullptr);
    if (headroom != MAP_FAILED)
        munmap(headroom, kEngineHeadroom);
    const int usable = static_cast<int>(started.size()) + 1;
    if (usable == wanted)
        return;
    std::fprintf(stderr, "%s: only %d of %d threads could start (%s); rendering on %d\n", message_program(),
                 usable, wanted, std::strerror(failure), usable);
    engine_limit_cpu_threads(usable);
}
}  // namespace

bool startup(uint32_t seed, std::string* failure)
{
    decide_threads();
    std::printf("Vantrel Prototype 1\n");
    std::fflush(stdout);
    host_srand(seed);
    // The table takes the first draws and the seeds the next 307,200: keep the order.
    const char* missing = !build_normal_table()     ? "out of memory for the normal table"
                          : !frame_buffers_create() ? "out of memory for the frame buffers"
                          : !build_scene()          ? "out of memory for the scene and its seeds"
                                                    : nullptr;
    if (missing == nullptr) {
        bound_threads_to_what_starts();
        // The pool keeps the workers a job starts: started now, not with the
        // first frame, they cannot lose the room their stacks need to what
        // comes between (the window's GL driver maps some 200 MB). One item
        // per thread: a job of a single item runs on the caller alone.
        const int threads = engine_cpu_threads();
        host_parallel_for(threads, static_cast<uint32_t>(threads), 1, [](uint32_t, uint32_t, int) {});
        // Every frame copies these both ways: a GPU keeps them page-locked.
        engine_hold_host_frame({g_frame.accum_buffer.get(), g_frame.count_buffer.get(), g_frame.pixel_buffer.get()});
    }
    // The engine's reason, where the caller takes one, goes in the caller's line.
    std::string engine_failure;
    const bool ok = missing == nullptr && engine_init(g_spheres.get(), kSphereCount, g_planes.get(), kPlaneCount,
                                                      normal_table.get(), seed_list.get(),
                                                      failure != nullptr ? &engine_failure : nullptr);
    std::fflush(stdout);
    if (failure != nullptr)
        *failure = ok                   ? ""
                   : missing != nullptr ? missing
                   : !engine_failure.empty() ? engine_failure
                                             : "the render engine did not start";
    if (!ok)
        shutdown();
    return ok;
}

void shutdown()
{
    if (engine_ready())
        engine_deinit();
    scene_release();
    frame_buffers_destroy();
    normal_table_release();
}

void report_escaped_exception(const char* consequence)
{
    const char* program = message_program();
    try {
        throw;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory; %s\n", program, consequence);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s; %s\n", program, e.what(), consequence);
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure; %s\n", program, consequence);
    }
    shutdown();
}
