// SPDX-License-Identifier: Apache-2.0
#pragma once
// The hand-over between the render loop and the live view: the render thread
// leaves its figures after every frame and a copy of the picture at most a
// given number of times a second; readers on other threads take the latest.
// The render thread never waits for a reader: it holds the lock only to swap
// a pointer, and readers hold it only to copy one.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// A resumed render counts the picture's frames, those it was resumed with
// included; its rates count this run's.
struct CLiveFigures {
    uint32_t frames_done = 0;   // frames the picture holds
    uint32_t frames_total = 0;  // frames it will hold at the end; kFramesUntilStopped: no end set
    double seconds = 0.0;       // since this run started rendering
    uint64_t segments = 0;      // nearest-hit searches so far; 0 where the backend does not count them
    bool finished = false;      // no frame will follow
    uint32_t first_frame = 0;   // frames the picture held when this run started
    bool written = false;       // the image file holds the final picture
};

struct CLivePicture {
    uint64_t number = 0;  // hand-over count, 1 for the first picture
    uint32_t frame = 0;   // frames done when it was taken
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;  // RGB, row 0 at the bottom, as the frame buffer holds it
};

class CFrameHandover {
public:
    // `starting`: the figures to show until the render begins (the engine's
    // start-up and a restore can take seconds).
    CFrameHandover(uint32_t pictures_per_second, const CLiveFigures& starting);

    // Render thread, before the first frame: records the figures, and the
    // picture when it already holds frames (a resumed render).
    void begin(const uint8_t* pixels, uint32_t width, uint32_t height, const CLiveFigures& figures);
    // Render thread, after each frame: records the figures and copies the
    // picture when the last copy is at least 1/pictures_per_second old.
    void after_frame(const uint8_t* pixels, uint32_t width, uint32_t height, const CLiveFigures& figures);
    // Render thread, once rendering has ended: the last picture, always copied.
    void finish(const uint8_t* pixels, uint32_t width, uint32_t height, CLiveFigures figures);
    // Once the finished picture is in its file.
    void written();

    CLiveFigures figures() const;
    // The latest picture, or null before the first frame.
    std::shared_ptr<const CLivePicture> picture() const;
    // The latest picture once it is newer than `number`, or whatever is there after `limit`.
    std::shared_ptr<const CLivePicture> wait_newer(uint64_t number, std::chrono::milliseconds limit) const;

private:
    void hand_over(const uint8_t* pixels, uint32_t width, uint32_t height, const CLiveFigures& figures);

    const std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point last_copy_{};  // render thread only
    uint64_t copies_ = 0;                                // render thread only

    mutable std::mutex mutex_;
    mutable std::condition_variable newer_;
    CLiveFigures figures_;
    std::shared_ptr<const CLivePicture> picture_;
};
