// SPDX-License-Identifier: Apache-2.0
#include "render/live/frame_handover.h"

#include <algorithm>

CFrameHandover::CFrameHandover(uint32_t pictures_per_second, const CLiveFigures& starting)
    : interval_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(1.0 / std::max(pictures_per_second, 1u)))),
      figures_(starting)
{
}

void CFrameHandover::begin(const uint8_t* pixels, uint32_t width, uint32_t height, const CLiveFigures& figures)
{
    if (figures.frames_done > 0) {
        last_copy_ = std::chrono::steady_clock::now();
        hand_over(pixels, width, height, figures);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    figures_ = figures;
}

void CFrameHandover::after_frame(const uint8_t* pixels, uint32_t width, uint32_t height,
                                 const CLiveFigures& figures)
{
    const auto now = std::chrono::steady_clock::now();
    if (copies_ == 0 || now - last_copy_ >= interval_) {
        last_copy_ = now;
        hand_over(pixels, width, height, figures);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    figures_ = figures;
}

void CFrameHandover::finish(const uint8_t* pixels, uint32_t width, uint32_t height, CLiveFigures figures)
{
    figures.finished = true;
    hand_over(pixels, width, height, figures);
}

void CFrameHandover::written()
{
    std::lock_guard<std::mutex> lock(mutex_);
    figures_.written = true;
}

void CFrameHandover::hand_over(const uint8_t* pixels, uint32_t width, uint32_t height, const CLiveFigures& figures)
{
    // The copy is made before taking the lock, so readers never wait on it.
    auto picture = std::make_shared<CLivePicture>();
    picture->number = ++copies_;
    picture->frame = figures.frames_done;
    picture->width = width;
    picture->height = height;
    picture->pixels.assign(pixels, pixels + size_t{width} * height * 3u);
    std::shared_ptr<const CLivePicture> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        figures_ = figures;
        old = std::move(picture_);
        picture_ = std::move(picture);
    }
    newer_.notify_all();
    // `old` is freed here, outside the lock, unless a reader still holds it.
}

CLiveFigures CFrameHandover::figures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_;
}

std::shared_ptr<const CLivePicture> CFrameHandover::picture() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return picture_;
}

std::shared_ptr<const CLivePicture> CFrameHandover::wait_newer(uint64_t number, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    newer_.wait_for(lock, limit, [&] { return picture_ && picture_->number > number; });
    return picture_;
}
