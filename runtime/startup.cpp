// SPDX-License-Identifier: Apache-2.0
#include "runtime/startup.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <semaphore>
#include <string>
#include <vector>

#include "base/messages.h"
#include "runtime/frame_buffers.h"
#include "engine/engine.h"
#include "engine/host_threads.h"
#include "scene/host_random.h"
#include "scene/built_in_scene.h"

namespace {
bool g_closed_streams[3] = {false, false, false};
}  // namespace

void prepare_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            g_closed_streams[fd] = true;
            open("/dev/null", O_RDWR);  // the lowest free descriptor: this one
        }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool standard_stream_was_closed(int fd) { return fd >= 0 && fd <= 2 && g_closed_streams[fd]; }

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
        print_message(note);
}

// What a pass's worker allocates beyond its stack as it takes its first
// items (its working space, and the heap of a thread of its own when no arena
// is left for it), with room to spare.
constexpr size_t kWorkerHeap = size_t{2} << 20;

// A trial thread: takes a worker's heap (null when there was no room), says
// so, and holds it until it is joined.
struct CTrial {
    void* heap = nullptr;
    std::binary_semaphore taken{0};
};

void* take_worker_heap(void* trial_pointer)
{
    CTrial& trial = *static_cast<CTrial*>(trial_pointer);
    trial.heap = std::malloc(kWorkerHeap);
    trial.taken.release();
    return nullptr;
}

// What the render engine and the passes allocate after start-up's host state,
// and what writing the files takes, with room to spare: held back while the
// threads are tried, so that threads which start then still start (and find
// their heap) once the engine holds its memory, and the picture can be written.
constexpr size_t kEngineHeadroom = size_t{32} << 20;

// A pass whose threads cannot start or find their working space (a thread
// limit, little address space left) would fail the render mid-way, or end
// the process when a thread cannot register its cleanup. Starts as many
// threads as a pass uses at once, one after the other, each holding a
// worker's heap, and lowers the count to those that could; `note` says so.
void bound_threads_to_what_starts(std::string& note)
{
    const int wanted = engine_cpu_threads();
    // Under an address-space limit, a thread of its own malloc arena would
    // reserve 64 MB of it as it first allocates, whenever that much happens to
    // be free: the workers would then take more than the trial threads held.
    // One arena for all keeps the two the same.
    if (rlimit space{}; getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY)
        mallopt(M_ARENA_MAX, 1);
    void* headroom = mmap(nullptr, kEngineHeadroom, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    void* own_heap = std::malloc(kWorkerHeap);  // the caller is one of the pass's threads
    std::vector<pthread_t> started;
    started.reserve(static_cast<size_t>(wanted));
    std::vector<CTrial> trials(static_cast<size_t>(wanted));
    int failure = own_heap == nullptr ? ENOMEM : 0;
    while (failure == 0 && static_cast<int>(started.size()) + 1 < wanted) {
        pthread_t thread;
        CTrial& trial = trials[started.size()];
        if ((failure = pthread_create(&thread, nullptr, take_worker_heap, &trial)) != 0)
            break;
        started.push_back(thread);
        trial.taken.acquire();
        failure = trial.heap == nullptr ? ENOMEM : 0;
    }
    int usable = 1;
    for (size_t k = 0; k < started.size(); ++k) {
        pthread_join(started[k], nullptr);
        usable += trials[k].heap != nullptr;
        std::free(trials[k].heap);
    }
    std::free(own_heap);
    if (headroom != MAP_FAILED)
        munmap(headroom, kEngineHeadroom);
    if (usable == wanted)
        return;
    note = "only " + std::to_string(usable) + " of " + std::to_string(wanted) + " threads could start (" +
           std::strerror(failure) + "); rendering on " + std::to_string(usable);
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
    std::string threads_note;
    if (missing == nullptr) {
        bound_threads_to_what_starts(threads_note);
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
    // Said once the render can start: a start-up that fails says only that.
    if (ok && !threads_note.empty())
        print_message(threads_note);
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
