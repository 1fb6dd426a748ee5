// SPDX-License-Identifier: Apache-2.0
// vantrel-render: renders the built-in scene without a window, through the
// same start-up, frames and shutdown as the window program, and writes the
// picture to an image file.
//
// Exit status: 0 done, 1 start-up, engine, memory or write failure, 2 bad
// input, 130 / 143 / 129 stopped by SIGINT / SIGTERM / SIGHUP (the picture so
// far is written: a resumed render's saved one when no frame was added;
// before a fresh render's first frame is done nothing is written). With
// --serve, a live view shows the render; after the last frame the picture is
// written and the view stays up until one of those signals, which then ends
// the program as done. With --checkpoint the render's state is saved as it
// goes, and --resume carries a saved render on.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "base/image_size.h"
#include "base/messages.h"
#include "runtime/camera.h"
#include "runtime/frame_buffers.h"
#include "runtime/startup.h"
#include "runtime/stop_signal.h"
#include "engine/engine.h"
#include "render/benchmark/benchmark_program.h"
#include "render/checkpoint_schedule.h"
#include "render/files/image_writer.h"
#include "render/live/frame_handover.h"
#include "render/live/live_server.h"
#include "render/progress.h"
#include "render/render_options.h"

namespace {
uint32_t sampled_pixels(const CFrameBuffer& frame)
{
    uint32_t sampled = 0;
    for (uint32_t p = 0; p < frame.width * frame.height; ++p)
        sampled += frame.count_buffer[p] > 0 ? 1u : 0u;
    return sampled;
}

struct CRenderResult {
    uint32_t first_frame = 0;  // frames a resumed render held when it started
    uint32_t frames = 0;       // frames the picture holds
    double seconds = 0.0;
    uint64_t segments = 0;  // nearest-hit searches of all frames
    bool engine_failed = false;
    int stopped_by = 0;  // the signal that cut the render short, or 0
};

// The live view counts the picture's frames, a resumed render's saved ones included.
CLiveFigures live_figures(const CRenderResult& result, const CRenderOptions& options)
{
    return {result.frames, options.frames, result.seconds, engine_segments_traced(), false, result.first_frame};
}

// `live`, when set, is handed the figures after every frame and the picture
// now and then; `checkpoints` save the state as they are due and at the end.
// `first_frame`: the frames a resumed render already holds.
CRenderResult render(const CRenderOptions& options, CFrameHandover* live, CCheckpointSchedule& checkpoints,
                     uint32_t first_frame)
{
    CRenderResult result;
    result.first_frame = result.frames = first_frame;
    // Counted as the picture's frames, like the summary and the live view.
    CProgress progress(stderr, options.frames, stderr_redraws_in_place(), options.quiet);
    progress.counts_from(first_frame);
    if (live)
        live->begin(g_frame.pixel_buffer.get(), g_frame.width, g_frame.height, live_figures(result, options));
    const auto start = std::chrono::steady_clock::now();
    while (result.frames < options.frames && stop_signal() == 0) {
        trace_frame(g_frame);
        if (engine_failed()) {
            result.engine_failed = true;
            break;
        }
        ++result.frames;
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        progress.update(result.frames, result.seconds);
        if (live)
            live->after_frame(g_frame.pixel_buffer.get(), g_frame.width, g_frame.height,
                              live_figures(result, options));
        checkpoints.after_frame(result.frames);
    }
    progress.finish();
    // From here on files are written: a later stop request ends the program
    // between them, with a line saying what was written.
    defer_later_stop_signals(true);
    // A signal after the last frame leaves the picture complete.
    if (result.frames < options.frames)
        result.stopped_by = stop_signal();
    if (!result.engine_failed && result.frames > 0 && later_stop_signal() == 0)
        checkpoints.at_end(result.frames);
    result.segments = engine_segments_traced();
    if (live && !result.engine_failed)
        live->finish(g_frame.pixel_buffer.get(), g_frame.width, g_frame.height, live_figures(result, options));
    return result;
}

// "stopped by SIGTERM after 5 of 100 frames; ", or "" when the render was not stopped.
std::string stopped_part(const CRenderResult& result, const CRenderOptions& options)
{
    if (result.stopped_by == 0)
        return "";
    return std::string("stopped by ") + signal_name(result.stopped_by) + " after " + std::to_string(result.frames) +
           (options.frames == kFramesUntilStopped ? "" : " of " + std::to_string(options.frames)) + " frames; ";
}

// `later`: a stop signal that came while the files were written, or 0.
void print_summary(const CRenderResult& result, const CRenderOptions& options, uint32_t sampled,
                   const std::string& checkpoint, int later)
{
    const uint32_t rendered = result.frames - result.first_frame;
    const double fps = result.seconds > 0.0 ? rendered / result.seconds : 0.0;
    // The CUDA backend does not count segments: say so rather than print 0.
    char rays[64] = "rays not counted on the GPU";
    if (result.segments > 0 || rendered == 0)
        std::snprintf(rays, sizeof rays, "%.1f million rays/s",
                      result.seconds > 0.0 ? result.segments / result.seconds / 1e6 : 0.0);
    // A resumed render names the frames it added to the saved ones.
    char frames[160];
    if (result.first_frame > 0 && rendered == 0 && result.stopped_by != 0)
        std::snprintf(frames, sizeof frames, "no frame added to the %u saved", result.frames);
    else if (result.first_frame > 0 && rendered == 0)
        std::snprintf(frames, sizeof frames, "the %u frames saved, nothing to add", result.frames);
    else if (result.first_frame > 0)
        std::snprintf(frames, sizeof frames, "frames %u to %u in %.2f s, %.2f frames/s, %s", result.first_frame + 1,
                      result.frames, result.seconds, fps, rays);
    else
        std::snprintf(frames, sizeof frames, "%u frames in %.2f s, %.2f frames/s, %s", result.frames, result.seconds,
                      fps, rays);
    char figures[240];
    std::snprintf(figures, sizeof figures, "%s, %u of %u pixels sampled", frames, sampled, kImageWidth * kImageHeight);
    print_message(stopped_part(result, options) + figures + ", wrote " + options.output +
                  (checkpoint.empty() ? "" : ", " + checkpoint) +
                  (later != 0 ? std::string("; ended by a second ") + signal_name(later) : ""));
}

// Writes the picture and the summary, after shutting the engine down; the exit status.
int write_picture(const CRenderResult& result, const CRenderOptions& options, const CCheckpointSchedule& checkpoints)
{
    const uint32_t sampled = sampled_pixels(g_frame);
    // A second stop request while the checkpoint was written ends the program before the picture.
    if (const int later = later_stop_signal(); later != 0) {
        shutdown();
        const std::string checkpoint = checkpoints.summary();
        print_message(stopped_part(result, options) + "ended by a second " + signal_name(later) +
                      " before the picture was written; no image written" +
                      (checkpoint.empty() ? "" : ", " + checkpoint));
        return 128 + later;
    }
    std::string error;
    const bool written =
        write_image(options.output, options.format, g_frame.pixel_buffer.get(), g_frame.width, g_frame.height, error);
    shutdown();
    if (!written) {
        print_message(options.output + ": " + error);
        return 1;
    }
    const int later = later_stop_signal();
    print_summary(result, options, sampled, checkpoints.summary(), later);
    return later != 0 ? 128 + later : result.stopped_by != 0 ? 128 + result.stopped_by : 0;
}

// Starts the live view before anything else, so a busy port is bad input.
std::unique_ptr<CLiveServer> start_live_view(const CRenderOptions& options, const CFrameHandover& handover)
{
    std::string error;
    std::unique_ptr<CLiveServer> live = CLiveServer::start(*options.serve, handover, error);
    if (!live) {
        print_message("--serve: " + error);
        return nullptr;
    }
    if (!live->loopback_only())
        print_message("the live view on " + options.serve->host + " is reachable from the network");
    print_message("live view at " + live->addresses());
    return live;
}

// After the last frame the final picture stays on show until a stop signal.
void serve_until_stopped(const CLiveServer& live)
{
    print_message("rendering done; the live view at " + live.url() + " stays up until Ctrl+C");
    while (stop_signal() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

int render_main(int argc, char** argv)
{
    CRenderOptions options;
    if (const std::optional<int> status = parse_render_options(argc, argv, options))
        return *status;
    install_stop_signals();
    if (benchmark_asked(options))
        return run_benchmark_program({options.benchmark, options.engine, options.quiet});
    // Until the render begins the live view shows the frames asked for, and
    // those a resumed render starts from.
    const uint32_t resumed_frames = options.resumed ? options.resumed->frames_done : 0;
    CRenderResult before_start;
    before_start.first_frame = before_start.frames = resumed_frames;
    CFrameHandover handover(options.serve_fps, live_figures(before_start, options));
    std::unique_ptr<CLiveServer> live;
    if (options.serve && !(live = start_live_view(options, handover)))
        return kUsageStatus;

    uint32_t seed = 0;
    if (options.seed) {
        seed = *options.seed;
    } else {
        seed = millisecond_clock();
        print_message("seed " + std::to_string(seed) + " (repeat this picture with --seed " + std::to_string(seed) +
                      ")");
    }

    engine_configure(options.engine);
    if (std::string failure; !startup(seed, &failure)) {
        print_message("start-up failed: " + failure);
        return 1;
    }
    if (options.resumed) {
        if (!restore_render(*options.resumed)) {
            shutdown();
            print_message("the render engine failed while restoring " + options.resume + "; no image written");
            return 1;
        }
        print_message("resuming " + options.resume + " at frame " + std::to_string(options.resumed->frames_done) +
                      " (seed " + std::to_string(seed) + ")");
    }
    CCheckpointSchedule checkpoints(options.checkpoint, options.checkpoint_every, seed, options.frames,
                                    options.checkpoint == options.resume && options.resumed
                                        ? std::optional<uint32_t>(resumed_frames)
                                        : std::nullopt);
    options.resumed.reset();  // restored: its memory is not needed any more

    const CRenderResult result = render(options, live ? &handover : nullptr, checkpoints, resumed_frames);
    // Finished with a live view: the picture is written now, then shown until a stop signal.
    if (live && result.stopped_by == 0 && !result.engine_failed) {
        const int status = write_picture(result, options, checkpoints);
        if (status == 0) {
            handover.written();
            // Shown until a stop signal; a later one during the shutdown ends the program at once.
            defer_later_stop_signals(false);
            serve_until_stopped(*live);
        }
        live->stop();
        return status;
    }
    if (live)
        live->stop();
    if (result.engine_failed) {
        shutdown();
        print_message("the render engine failed after " + std::to_string(result.frames) +
                      " frames; no image written");
        return 1;
    }
    if (result.frames == 0) {
        shutdown();
        struct stat existing{};
        print_message(std::string("stopped by ") + signal_name(result.stopped_by) +
                      " before the first frame was done; no image written" +
                      (stat(options.output.c_str(), &existing) == 0 ? ", " + options.output + " is unchanged" : ""));
        return 128 + result.stopped_by;
    }

    return write_picture(result, options, checkpoints);
}
}  // namespace

int main(int argc, char** argv)
{
    set_message_program(kRenderProgram);
    prepare_standard_streams();
    return run_guarded("no image written", [&] { return render_main(argc, argv); });
}
