// SPDX-License-Identifier: Apache-2.0
#include "render/benchmark/benchmark.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/messages.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "runtime/stop_signal.h"
#include "engine/cpu_passes.h"
#include "engine/engine.h"
#include "render/progress.h"

namespace {
std::string run_name(const CEngineOptions& engine, int threads)
{
    if (engine.backend == CBackendChoice::cuda)
        return "the GPU";
    return "the " + cpu_pass_in_use(engine) + " pass on " + std::to_string(threads) +
           (threads == 1 ? " thread" : " threads");
}

// --benchmark all: every pass this processor runs, narrowest first, on one
// thread and on all the engine would use.
std::vector<CEngineOptions> every_cpu_pass(const CEngineOptions& asked)
{
    CEngineOptions engine = asked;
    engine.backend = CBackendChoice::cpu;
    engine_configure(engine);
    const int all = engine_decide_cpu_threads();
    std::vector<CEngineOptions> setups;
    for (const char* pass : supported_cpu_pass_names())
        for (int threads : {1, all})
            if (threads == 1 || all > 1) {
                engine.cpu_pass = pass;
                engine.cpu_threads = threads;
                setups.push_back(engine);
            }
    return setups;
}
}  // namespace

std::string cpu_pass_in_use(const CEngineOptions& engine)
{
    return engine.cpu_pass.empty() ? chosen_cpu_pass_name() : engine.cpu_pass;
}

CBenchmarkRun run_benchmark(const CEngineOptions& engine, const CBenchmarkPlan& plan, bool quiet,
                            std::string& failure, int& stopped_by)
{
    CBenchmarkRun run;
    engine_configure(engine);
    if (std::string why; !startup(kStandardSeed, &why)) {
        failure = "start-up failed: " + why;
        return run;
    }
    run.threads = engine_cpu_threads();
    CProgress progress(stderr, kFramesUntilStopped, stderr_redraws_in_place(), quiet);
    using clock = std::chrono::steady_clock;
    clock::time_point start;
    uint64_t segments_before = 0;
    while ((stopped_by = stop_signal()) == 0) {
        trace_frame(g_frame);
        if (engine_failed()) {
            failure = "the render engine failed at frame " + std::to_string(run.frames + 1);
            break;
        }
        ++run.frames;
        // The clock starts once the first frame is done: start-up, the first
        // upload and the passes' one-off preparations are not timed.
        if (run.frames == 1) {
            start = clock::now();
            segments_before = engine_segments_traced();
        }
        run.seconds = std::chrono::duration<double>(clock::now() - start).count();
        if (run.frames == plan.known.frames) {
            if (plan.before_check)
                plan.before_check(g_frame.pixel_buffer.get());
            run.check = check_picture(g_frame.pixel_buffer.get(), run.frames, plan.known,
                                      std::strcmp(engine_backend_name(), "CUDA") == 0);
        }
        progress.update(run.frames - 1, run.seconds);
        if (run.check.done && run.seconds >= plan.least_seconds)
            break;
        if (run.seconds >= plan.most_seconds) {
            run.capped = !run.check.done;
            break;
        }
    }
    progress.finish();
    run.segments = engine_segments_traced() - segments_before;
    // A GPU that failed mid-run hands over to the CPU: the run is named after what finished it.
    run.backend = engine_backend_name();
    run.pass = run.backend == "CPU" ? cpu_pass_in_use(engine) : "";
    shutdown();
    return run;
}

int benchmark_main(const CBenchmarkRequest& request, const CBenchmarkPlan& plan, const CReportStreams& streams)
{
    const bool all = request.choice.mode == CBenchmarkMode::all_passes;
    const std::vector<CEngineOptions> setups = all ? every_cpu_pass(request.engine)
                                                   : std::vector<CEngineOptions>{request.engine};
    std::vector<CBenchmarkRun> runs;
    for (const CEngineOptions& setup : setups) {
        if (all && !request.quiet)
            print_message("benchmark " + std::to_string(runs.size() + 1) + " of " + std::to_string(setups.size()) +
                          ": " + run_name(setup, setup.cpu_threads));
        std::string failure;
        int stopped_by = 0;
        CBenchmarkRun run = run_benchmark(setup, plan, request.quiet, failure, stopped_by);
        if (!failure.empty()) {
            print_message(failure + "; no figures");
            return 1;
        }
        if (stopped_by != 0) {
            print_message(std::string("stopped by ") + signal_name(stopped_by) + " after " +
                          std::to_string(run.frames) + " frames; no figures");
            return 128 + stopped_by;
        }
        if (run.capped)
            print_message(run_name(setup, run.threads) + " did not reach frame " +
                          std::to_string(plan.known.frames) + " in " + std::to_string(int(plan.most_seconds)) +
                          " s; its picture is not checked");
        runs.push_back(run);
    }
    const int report_failure = all ? print_benchmark_table(streams.text, runs)
                                   : print_benchmark_report(streams.text, runs[0]);
    if (report_failure != 0)
        print_message(std::string("cannot write the report: ") + std::strerror(report_failure));
    const std::string& json = request.choice.json;
    if (std::string error; !json.empty() && !write_json(benchmark_json(runs, all), json, streams.json, error)) {
        print_message("--json " + error);
        return 1;
    }
    const bool verified = std::all_of(runs.begin(), runs.end(), [](const CBenchmarkRun& r) { return r.check.verified; });
    return verified && report_failure == 0 ? 0 : 1;
}
