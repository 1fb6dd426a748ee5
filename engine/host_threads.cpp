// SPDX-License-Identifier: Apache-2.0
#include "engine/host_threads.h"

#include "engine/cpu/cpu_threads.h"

void host_parallel_for(int threads, uint32_t count, uint32_t chunk,
                       const std::function<void(uint32_t begin, uint32_t end, int thread)>& body)
{
    cpu_parallel_for(threads, count, chunk, body);
}

void start_threads_without_signals(const std::function<void()>& start)
{
    const CWorkerSignalMask no_signals;
    start();
}
