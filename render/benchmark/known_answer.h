// SPDX-License-Identifier: Apache-2.0
#pragma once
// The standard workload's known answer: the built-in scene after 256 frames
// with seed 1 (the picture docs/vantrel.png holds), and how a rendered
// picture is held against it. The CPU renders it byte for byte whatever the
// pass, the thread count or a resume in between, so any differing byte there
// is a fault; a GPU's fast arithmetic may move a few samples, so a GPU picture
// is judged by how far it strays.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr uint32_t kStandardSeed = 1;
constexpr uint32_t kStandardFrames = 256;
// SHA-256 of the picture as the binary PPM file vantrel-render writes; anyone
// can check it: vantrel-render --frames 256 --seed 1 --output box.ppm; sha256sum box.ppm
inline constexpr char kStandardDigest[] = "9fc3a6e444f3fdbe834ed46cdcdb0af95679e969302c83dfefc14e499b617cd7";

// A picture's digest: SHA-256 (lower-case hex) of `pixels` (RGB, row 0 at the
// bottom, as the frame buffers hold them) written as a binary PPM file, top
// row first.
std::string picture_digest(const uint8_t* pixels, uint32_t width, uint32_t height);

// What a run is held against: the frame it is checked at, the picture's
// digest, and the picture itself (wanted only when a picture differs).
struct CKnownAnswer {
    uint32_t frames = kStandardFrames;
    std::string digest = kStandardDigest;
    // Fills the picture (display bytes as picture_digest takes them); false
    // with the reason when it cannot.
    std::function<bool(std::vector<uint8_t>& pixels, std::string& error)> picture;
};

// The standard workload's: its picture is the copy of docs/vantrel.png the
// program carries.
CKnownAnswer standard_known_answer();

// How far a picture strays from a reference of the same size.
struct CPictureDifference {
    uint32_t pixels = 0;           // pixels with any channel different
    uint32_t largest[3] = {};      // the largest difference of each channel, out of 255
    double mean[3] = {};           // the mean absolute difference of each channel over all pixels
};
CPictureDifference compare_pictures(const uint8_t* picture, const uint8_t* reference, size_t pixel_count);

// A GPU picture is accepted while no channel's mean difference exceeds one
// level of 255. At the check each sample weighs 1/256 of a pixel, so a sample
// that fast arithmetic sends down another path moves its pixel by about one
// level: the bound allows on average one such sample per pixel. Faults seen on
// GPUs (stale or corrupted memory, a broken driver, an unstable clock) spoil
// whole blocks of pixels and go far beyond it; single bad bytes are for the
// stress mode, which compares a GPU's cycles exactly.
constexpr double kGpuMeanBound = 1.0;
bool within_gpu_bound(const CPictureDifference& difference);

// A picture held against the known answer at its frame.
struct CPictureCheck {
    bool done = false;      // the run reached the frame
    uint32_t frame = 0;
    std::string digest;     // the picture's
    std::string expected;   // the known answer's
    bool exact = false;     // the digest is the known answer's
    bool verified = false;  // exact, or a GPU's picture within the bound
    bool compared = false;  // `difference` was measured (the picture was at hand)
    CPictureDifference difference;
    std::string error;  // why the known picture was not at hand
};

// `on_gpu`: a GPU rendered it, and the bound applies where the bytes differ.
CPictureCheck check_picture(const uint8_t* pixels, uint32_t frame, const CKnownAnswer& known, bool on_gpu);
