// SPDX-License-Identifier: Apache-2.0
#pragma once
// Progress of a render on stderr: a bar redrawn in place on a terminal, a plain
// line about every two seconds otherwise, nothing when quiet.

#include <cstdint>
#include <cstdio>
#include <string>

// Frames to render when none are asked for: in practice until stopped.
constexpr uint32_t kFramesUntilStopped = UINT32_MAX;

class CProgress {
public:
    // `terminal`: whether `out` is a terminal that can redraw a line (bar) or a
    // log, pipe or dumb terminal (lines). The bar fits the terminal's width,
    // `columns` where the terminal does not say. A total of kFramesUntilStopped
    // means no end is set: the count and rate are shown.
    CProgress(FILE* out, uint32_t total_frames, bool terminal, bool quiet, int columns = 80);

    // A resumed render: the picture held `frames` when this run began. The
    // count shown is the picture's; the rate and time left are this run's.
    void counts_from(uint32_t frames) { first_ = frames; }
    // After each frame: the picture holds `done` frames, `seconds` after rendering started.
    void update(uint32_t done, double seconds);
    // Ends the bar's line, so the summary starts on a fresh one.
    void finish();

private:
    void draw_bar(uint32_t done, double seconds);
    void write_line(uint32_t done, double seconds);
    int width() const;

    FILE* out_;
    uint32_t total_;
    bool terminal_;
    bool quiet_;
    int columns_;
    uint32_t first_ = 0;
    bool bar_drawn_ = false;
    double last_shown_ = 0.0;
};

// Whether stderr is a terminal that can redraw a line in place (not TERM=dumb).
bool stderr_redraws_in_place();

// Seconds from now until `total` frames are done at the rate seen so far.
double seconds_left(uint32_t done, uint32_t total, double seconds);
// "42 s", "3 min 05 s", "2 h 10 min".
std::string format_duration(double seconds);
