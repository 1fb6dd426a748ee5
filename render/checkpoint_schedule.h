#pragma once
// A render's checkpoints: when its state is saved, what goes in (the frame
// buffers and the engine's random states), and how a saved render is restored.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "render/files/checkpoint.h"

class CCheckpointSchedule {
public:
    // Saves to `path` (nothing when it is empty) every `interval_seconds`.
    // `holds`: the frames `path` already holds when it is the checkpoint the
    // render was resumed from, so it is not written again unchanged.
    CCheckpointSchedule(std::string path, uint32_t interval_seconds, uint32_t seed, uint32_t frames_asked,
                        std::optional<uint32_t> holds);

    // After each frame: saves once the interval has passed since the last save
    // (or since rendering started).
    void after_frame(uint32_t frames_done);
    // When rendering ends, finished or stopped: saves unless the file holds these frames.
    void at_end(uint32_t frames_done);
    // For the summary line: what the file holds now, or "" without checkpoints.
    std::string summary() const;

private:
    void save(uint32_t frames_done);

    std::string path_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point last_save_;
    uint32_t seed_;
    uint32_t frames_asked_;
    std::optional<uint32_t> holds_;  // what the file holds, as far as this run knows
    bool last_failed_ = false;
    bool looked_for_earlier_ = false;
    std::optional<uint32_t> earlier_;  // frames of a checkpoint this run found at `path` and could not replace
    std::string last_warning_;
    std::vector<uint32_t> states_;  // the engine's random states, read for each save
};

// Puts a saved render back: sums, counts and picture into the frame buffers,
// random states and picture into the engine. False when the engine failed.
bool restore_render(const CCheckpoint& checkpoint);
