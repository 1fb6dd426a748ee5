// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu/cpu_threads.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/device.h"

namespace {
// The cores this process may run on. A kernel built for more processors than
// cpu_set_t holds refuses so small a mask: then every online core counts.
int usable_cores()
{
    cpu_set_t cores;
    CPU_ZERO(&cores);
    const int count =
        sched_getaffinity(0, sizeof cores, &cores) == 0 ? CPU_COUNT(&cores) : int(std::thread::hardware_concurrency());
    return count < 1 ? 1 : count < kMaxCpuThreads ? count : kMaxCpuThreads;
}

using CBody = std::function<void(uint32_t, uint32_t, int)>;

// How long a waiting thread spins before it sleeps: longer than the host's
// work between two frames' passes (a tenth of a millisecond), so that on an
// idle machine no thread sleeps between frames, and short against a frame.
constexpr auto kSpin = std::chrono::microseconds(200);

// Waits until `value` no longer holds `old`: spins, then sleeps on it.
void wait_while(const std::atomic<uint32_t>& value, uint32_t old)
{
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 1; value.load(std::memory_order_acquire) == old; ++i) {
        if (i % 64u == 0 && std::chrono::steady_clock::now() - start > kSpin) {
            value.wait(old, std::memory_order_acquire);
            continue;
        }
        // The processor's hint that this is a spin-wait loop.
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        __asm__ __volatile__("yield");
#endif
    }
}

class CThreadPool {
public:
    ~CThreadPool()
    {
        if (workers_.empty())
            return;
        stop_ = true;
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        for (std::thread& worker : workers_)
            worker.join();
    }

    void run(int threads, uint32_t count, uint32_t chunk, const CBody& body)
    {
        // Workers are added as a job first asks for them and then kept; each
        // job wakes them all, and those beyond its thread count take nothing.
        const uint32_t generation = generation_.load(std::memory_order_relaxed);
        if (workers_.size() + 1 < size_t(threads)) {
            const CWorkerSignalMask no_signals;
            while (workers_.size() + 1 < size_t(threads))
                workers_.emplace_back(&CThreadPool::work, this, int(workers_.size()) + 1, generation);
        }
        body_ = &body;
        count_ = count;
        chunk_ = chunk;
        threads_ = threads;
        next_.store(0, std::memory_order_relaxed);
        failure_ = nullptr;
        running_.store(uint32_t(workers_.size()), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        take_items(0);
        for (uint32_t left = running_.load(std::memory_order_acquire); left != 0;
             left = running_.load(std::memory_order_acquire))
            wait_while(running_, left);
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    void work(int thread, uint32_t seen)
    {
        for (;;) {
            wait_while(generation_, seen);
            seen = generation_.load(std::memory_order_acquire);
            if (stop_)
                return;
            if (thread < threads_)
                take_items(thread);
            if (running_.fetch_sub(1, std::memory_order_acq_rel) == 1)
                running_.notify_one();
        }
    }

    void take_items(int thread)
    {
        try {
            for (uint32_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed); begin < count_;
                 begin = next_.fetch_add(chunk_, std::memory_order_relaxed))
                (*body_)(begin, count_ - begin < chunk_ ? count_ : begin + chunk_, thread);
        } catch (...) {
            // The others finish the items they hold and take no more.
            next_.store(count_, std::memory_order_relaxed);
            const std::lock_guard<std::mutex> lock(failure_mutex_);
            if (!failure_)
                failure_ = std::current_exception();
        }
    }

    std::vector<std::thread> workers_;
    std::atomic<uint32_t> generation_{0};  // one more for every job, and at shutdown
    std::atomic<uint32_t> running_{0};     // workers not yet done with the current job
    std::atomic<uint32_t> next_{0};        // the first item not yet handed out
    // The current job, written before its generation is published.
    const CBody* body_ = nullptr;
    uint32_t count_ = 0;
    uint32_t chunk_ = 1;
    int threads_ = 1;
    bool stop_ = false;
    std::mutex failure_mutex_;
    std::exception_ptr failure_;
};

}  // namespace

CWorkerSignalMask::CWorkerSignalMask()
{
    sigset_t blocked;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&blocked, fault);
    pthread_sigmask(SIG_BLOCK, &blocked, &caller_);
}

CWorkerSignalMask::~CWorkerSignalMask() { pthread_sigmask(SIG_SETMASK, &caller_, nullptr); }

int cpu_thread_count(int asked, std::string* note)
{
    if (note != nullptr)
        note->clear();
    if (asked > 0)
        return asked < kMaxCpuThreads ? asked : kMaxCpuThreads;
    if (const char* wanted = std::getenv("OMP_NUM_THREADS"); wanted != nullptr) {
        // OpenMP reads a list of counts, one per nesting level: the first is ours.
        char* end = nullptr;
        errno = 0;
        const long long count = std::strtoll(wanted, &end, 10);
        while (end != wanted && (*end == ' ' || *end == '\t'))
            ++end;
        if (end != wanted && errno == 0 && count > 0 && (*end == '\0' || *end == ',')) {
            if (count <= kMaxCpuThreads)
                return int(count);
            if (note != nullptr)
                *note = "OMP_NUM_THREADS asks for " + std::to_string(count) + " threads; using " +
                        std::to_string(kMaxCpuThreads);
            return kMaxCpuThreads;
        }
        if (errno == ERANGE && count > 0) {
            if (note != nullptr)
                *note = "OMP_NUM_THREADS asks for more threads than can be counted; using " +
                        std::to_string(kMaxCpuThreads);
            return kMaxCpuThreads;
        }
        if (note != nullptr)
            *note = "OMP_NUM_THREADS is not a positive thread count; using every core";
    }
    return usable_cores();
}

void cpu_parallel_for(int threads, uint32_t count, uint32_t chunk,
                      const std::function<void(uint32_t begin, uint32_t end, int thread)>& body)
{
    if (chunk == 0)
        chunk = 1;
    if (threads < 2 || count <= chunk) {
        for (uint32_t begin = 0; begin < count; begin += chunk)
            body(begin, count - begin < chunk ? count : begin + chunk, 0);
        return;
    }
    // One pool for the process; passes run one at a time.
    static CThreadPool pool;
    pool.run(threads, count, chunk, body);
}
