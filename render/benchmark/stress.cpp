// SPDX-License-Identifier: Apache-2.0
#include "render/benchmark/stress.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/image_size.h"
#include "base/messages.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "runtime/stop_signal.h"
#include "engine/engine.h"
#include "render/progress.h"

namespace {
using clock = std::chrono::steady_clock;

double seconds_since(clock::time_point start) { return std::chrono::duration<double>(clock::now() - start).count(); }

// Puts the render back where start-up left it: no sums, no counts, no
// picture, and every pixel's random state as it was before the first frame.
bool start_cycle(const std::vector<uint32_t>& first_states, const std::vector<uint8_t>& no_picture)
{
    std::fill_n(g_frame.accum_buffer.get(), size_t{kPixelCount} * 3, 0.0f);
    std::fill_n(g_frame.count_buffer.get(), size_t{kPixelCount}, 0u);
    return engine_restore(first_states.data(), no_picture.data());
}

int finish(const CStressRun& run, const CBenchmarkRequest& request, const CReportStreams& streams)
{
    const int report_failure = print_stress_report(streams.text, run);
    if (report_failure != 0)
        print_message(std::string("cannot write the report: ") + std::strerror(report_failure));
    const std::string& json = request.choice.json;
    if (std::string error; !json.empty() && !write_json(stress_json(run), json, streams.json, error)) {
        print_message("--json " + error);
        return 1;
    }
    if (!run.mismatches.empty() || report_failure != 0)
        return 1;
    return run.cycles == 0 && run.stopped_by != 0 ? 128 + run.stopped_by : 0;
}
}  // namespace

int stress_main(const CBenchmarkRequest& request, const CStressPlan& plan, const CReportStreams& streams)
{
    CStressRun run;
    run.seconds_asked = plan.seconds;
    run.cycle_frames = plan.known.frames;
    engine_configure(request.engine);
    if (std::string why; !startup(kStandardSeed, &why)) {
        print_message("start-up failed: " + why);
        return 1;
    }
    run.backend = engine_backend_name();
    run.pass = run.backend == "CPU" ? cpu_pass_in_use(request.engine) : "";
    run.threads = engine_cpu_threads();
    const bool on_gpu = run.backend == "CUDA";
    run.reference = on_gpu ? "the first cycle" : "the known answer";
    std::vector<uint32_t> first_states(kPixelCount);
    const std::vector<uint8_t> no_picture(size_t{kPixelCount} * 3, 0);
    if (!engine_read_random_states(first_states.data())) {
        shutdown();
        print_message("the render engine failed before the first frame");
        return 1;
    }
    if (!request.quiet)
        print_message("stress: " + std::to_string(plan.seconds) + " s in cycles of " +
                      std::to_string(plan.known.frames) + " frames, each checked against " + run.reference +
                      "; Ctrl+C ends it with the report");
    // On a GPU the first cycle becomes the answer the others are held against.
    CKnownAnswer answer = plan.known;
    std::vector<uint8_t> first_cycle;
    const clock::time_point start = clock::now();
    uint32_t frame = 0;
    bool failed = false;
    while ((run.stopped_by = stop_signal()) == 0) {
        run.seconds = seconds_since(start);
        if ((run.seconds >= plan.seconds && run.cycles > 0) || (plan.most_cycles > 0 && run.cycles == plan.most_cycles))
            break;
        if (frame == 0 && run.cycles > 0 && !start_cycle(first_states, no_picture)) {
            failed = true;
            break;
        }
        trace_frame(g_frame);
        if ((failed = engine_failed()))
            break;
        if (++frame < plan.known.frames)
            continue;
        frame = 0;
        ++run.cycles;
        uint8_t* pixels = g_frame.pixel_buffer.get();
        if (plan.before_check)
            plan.before_check(pixels, run.cycles);
        if (on_gpu && run.cycles == 1) {
            first_cycle.assign(pixels, pixels + no_picture.size());
            answer.digest = picture_digest(pixels, kImageWidth, kImageHeight);
            answer.picture = [&first_cycle](std::vector<uint8_t>& picture, std::string&) {
                picture = first_cycle;
                return true;
            };
        }
        CPictureCheck check = check_picture(pixels, run.cycles, answer, false);
        if (!check.verified)
            run.mismatches.push_back(check);
        if (!request.quiet)
            print_message("stress: " + std::to_string(run.cycles) + (run.cycles == 1 ? " cycle" : " cycles") +
                          " checked, " + std::to_string(run.mismatches.size()) + " differed, " +
                          format_duration(std::max(0.0, plan.seconds - seconds_since(start))) + " left");
    }
    run.partial_frames = frame;
    run.seconds = seconds_since(start);
    shutdown();
    if (failed) {
        print_message("the render engine failed in cycle " + std::to_string(run.cycles + 1) + "; " +
                      std::to_string(run.cycles) + " cycles checked, " + std::to_string(run.mismatches.size()) +
                      " differed");
        return 1;
    }
    return finish(run, request, streams);
}
