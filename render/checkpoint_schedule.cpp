#include "render/checkpoint_schedule.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/image_size.h"
#include "base/messages.h"
#include "runtime/frame_buffers.h"
#include "engine/engine.h"
#include "render/render_options.h"

CCheckpointSchedule::CCheckpointSchedule(std::string path, uint32_t interval_seconds, uint32_t seed,
                                         uint32_t frames_asked, std::optional<uint32_t> holds)
    : path_(std::move(path)), interval_(std::chrono::seconds(interval_seconds)),
      last_save_(std::chrono::steady_clock::now()), seed_(seed), frames_asked_(frames_asked), holds_(holds)
{
}

void CCheckpointSchedule::after_frame(uint32_t frames_done)
{
    if (!path_.empty() && std::chrono::steady_clock::now() - last_save_ >= interval_)
        save(frames_done);
}

void CCheckpointSchedule::at_end(uint32_t frames_done)
{
    if (!path_.empty() && holds_ != frames_done)
        save(frames_done);
}

void CCheckpointSchedule::save(uint32_t frames_done)
{
    std::string error;
    states_.resize(kPixelCount);
    bool saved = engine_read_random_states(states_.data());
    if (!saved)
        error = "the render engine failed";
    else
        saved = write_checkpoint(path_,
                                 {seed_, frames_done, std::max(frames_asked_, frames_done),
                                  g_frame.accum_buffer.get(), g_frame.count_buffer.get(), states_.data(),
                                  g_frame.pixel_buffer.get()},
                                 error);
    // The interval counts from the end of a save, so slow disks take no larger share.
    last_save_ = std::chrono::steady_clock::now();
    last_failed_ = !saved;
    if (saved)
        holds_ = frames_done;
    // A disk that stays full gets one line, not one per interval.
    if (error == last_warning_)
        return;
    last_warning_ = error;
    if (saved) {
        if (!error.empty())
            print_message("checkpoint " + path_ + " holds " + std::to_string(frames_done) + " frames, but " + error +
                          "; a power cut may lose it");
        return;
    }
    // What the file holds when this run has not saved to it yet: an earlier
    // render's checkpoint, left whole, or nothing this program can read.
    if (!holds_ && !looked_for_earlier_) {
        looked_for_earlier_ = true;
        CCheckpoint earlier;
        std::string ignored;
        if (read_checkpoint(path_, earlier, ignored))
            earlier_ = earlier.frames_done;
    }
    std::string kept = "none is kept";
    if (holds_)
        kept = "it still holds " + std::to_string(*holds_) + " frames";
    else if (earlier_)
        kept = "it still holds the " + std::to_string(*earlier_) + " frames of an earlier checkpoint";
    print_message("checkpoint " + path_ + " not written: " + error + "; " + kept + ", and the render goes on");
}

std::string CCheckpointSchedule::summary() const
{
    if (path_.empty())
        return "";
    if (!holds_ && earlier_)
        return "no checkpoint written to " + path_ + " (it still holds the " + std::to_string(*earlier_) +
               " frames of an earlier checkpoint)";
    if (!holds_)
        return "no checkpoint written to " + path_;
    return "checkpoint " + path_ + (last_failed_ ? " still holds " : " holds ") + std::to_string(*holds_) +
           " frames" + (last_failed_ ? " (the last write failed)" : "");
}

bool restore_render(const CCheckpoint& checkpoint)
{
    std::memcpy(g_frame.accum_buffer.get(), checkpoint.sums.data(), checkpoint.sums.size() * sizeof(float));
    std::memcpy(g_frame.count_buffer.get(), checkpoint.counts.data(), checkpoint.counts.size() * sizeof(uint32_t));
    std::memcpy(g_frame.pixel_buffer.get(), checkpoint.pixels.data(), checkpoint.pixels.size());
    return engine_restore(checkpoint.random_states.data(), checkpoint.pixels.data());
}
