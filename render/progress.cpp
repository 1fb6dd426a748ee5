// SPDX-License-Identifier: Apache-2.0
#include "render/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/messages.h"

namespace {
constexpr double kLineInterval = 2.0;   // seconds between plain lines
constexpr double kBarInterval = 0.1;    // seconds between bar redraws
constexpr int kBarWidth = 30;
constexpr int kNarrowestBar = 5;        // below this the bar is left out
}  // namespace

bool stderr_redraws_in_place()
{
    const char* term = std::getenv("TERM");
    return isatty(STDERR_FILENO) != 0 && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

std::string format_duration(double seconds)
{
    const long whole = seconds > 0.0 ? static_cast<long>(seconds + 0.5) : 0;
    char text[32];
    if (whole < 60)
        std::snprintf(text, sizeof text, "%ld s", whole);
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %02ld min", whole / 3600, whole / 60 % 60);
    return text;
}

double seconds_left(uint32_t done, uint32_t total, double seconds)
{
    if (done == 0 || done >= total)
        return 0.0;
    return seconds / done * (total - done);
}

CProgress::CProgress(FILE* out, uint32_t total_frames, bool terminal, bool quiet, int columns)
    : out_(out), total_(total_frames), terminal_(terminal), quiet_(quiet), columns_(columns)
{
}

// Asked at every redraw, so a resized terminal is followed.
int CProgress::width() const
{
    winsize size{};
    if (ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return columns_;
}

void CProgress::update(uint32_t done, double seconds)
{
    if (quiet_)
        return;
    const bool last = done >= total_;
    if (terminal_) {
        if (last || seconds - last_shown_ >= kBarInterval || !bar_drawn_)
            draw_bar(done, seconds);
    } else if (seconds - last_shown_ >= kLineInterval) {
        write_line(done, seconds);
    }
}

void CProgress::finish()
{
    if (!quiet_ && bar_drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        bar_drawn_ = false;
    }
}

void CProgress::draw_bar(uint32_t done, double seconds)
{
    const double fps = seconds > 0.0 ? (done - first_) / seconds : 0.0;
    char figures[160];
    if (total_ == kFramesUntilStopped)  // no end: a count and the rate
        std::snprintf(figures, sizeof figures, "%u frames  %.1f frames/s  %s", done, fps,
                      format_duration(seconds).c_str());
    else
        std::snprintf(figures, sizeof figures, "%u/%u frames  %.1f frames/s  %s left", done, total_, fps,
                      format_duration(seconds_left(done - first_, total_ - first_, seconds)).c_str());
    // The line stays shorter than the terminal is wide: a line that wraps
    // cannot be redrawn in place and would scroll at every redraw.
    const int room = width() - 1;
    std::string line = figures;
    const int bar_width = std::min(kBarWidth, room - 3 - static_cast<int>(line.size()));
    if (total_ != kFramesUntilStopped && bar_width >= kNarrowestBar) {
        const int filled = total_ ? static_cast<int>(uint64_t{done} * bar_width / total_) : bar_width;
        // Appended piece by piece: g++ 12 warns (-Wrestrict, wrongly) about
        // the inlined copies of a chain of operator+ starting with "[".
        std::string bar(1, '[');
        bar.append(filled, '#').append(bar_width - filled, '.').append("] ").append(line);
        line = std::move(bar);
    }
    line.resize(std::min(line.size(), static_cast<size_t>(std::max(room, 0))));
    // \r returns to the line's start, \033[K clears what a longer line left.
    std::fprintf(out_, "\r%s\033[K", line.c_str());
    std::fflush(out_);
    bar_drawn_ = true;
    last_shown_ = seconds;
}

void CProgress::write_line(uint32_t done, double seconds)
{
    const double fps = seconds > 0.0 ? (done - first_) / seconds : 0.0;
    if (total_ == kFramesUntilStopped)
        std::fprintf(out_, "%s: %u frames, %.1f frames/s, %s\n", kRenderProgram, done, fps,
                     format_duration(seconds).c_str());
    else
        std::fprintf(out_, "%s: %u/%u frames, %.1f frames/s, %s left\n", kRenderProgram, done, total_, fps,
                     format_duration(seconds_left(done - first_, total_ - first_, seconds)).c_str());
    std::fflush(out_);
    last_shown_ = seconds;
}
