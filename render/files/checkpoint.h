#pragma once
// A render's whole state in a file, to carry the render on later: the seed,
// the frames done and asked for, and every pixel's sums, count, random state
// and display bytes. The layout (all numbers little-endian):
//
//   offset  bytes      field
//   0       8          magic "VNTRLCKP"
//   8       4          format version (kCheckpointVersion)
//   12      4, 4       image width and height (640, 480)
//   20      4          seed
//   24      4          frames done
//   28      4          frames asked for (4294967295: until stopped)
//   32      N x 12     sums: red, green, blue per pixel, IEEE-754 binary32
//   ...     N x 4      sample counts, unsigned
//   ...     N x 4      random states, unsigned
//   ...     N x 3      display bytes: red, green, blue per pixel
//   end-4   4          zlib crc32 of every byte before it
//
// N = width x height, pixels in memory order (row 0 at the bottom).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kCheckpointVersion = 1;

// What a checkpoint holds, read back.
struct CCheckpoint {
    uint32_t seed = 0;
    uint32_t frames_done = 0;
    uint32_t frames_asked = 0;
    std::vector<float> sums;             // 3 per pixel
    std::vector<uint32_t> counts;        // 1 per pixel
    std::vector<uint32_t> random_states; // 1 per pixel
    std::vector<uint8_t> pixels;         // 3 per pixel
};

// The same, to be written: arrays of the image's size, wherever they live.
struct CCheckpointView {
    uint32_t seed = 0;
    uint32_t frames_done = 0;
    uint32_t frames_asked = 0;
    const float* sums = nullptr;
    const uint32_t* counts = nullptr;
    const uint32_t* random_states = nullptr;
    const uint8_t* pixels = nullptr;
};

// The size of a checkpoint of the built-in image, in bytes.
size_t checkpoint_file_bytes();

// Reads and checks `path`. False when it is not a whole, intact checkpoint of
// this version and image size, or holds what no render could have saved (a
// sum that is not a number or above its count, a count above the cap, a
// random state the generator never holds, frames done above those asked for,
// display bytes its sums do not give); `error` then says what is wrong with
// it ("is empty", "is truncated (...)", "has an impossible sum at pixel ...",
// ...), without the name.
bool read_checkpoint(const std::string& path, CCheckpoint& checkpoint, std::string& error);

// Writes `state` to a temporary file beside `path` (beside the file it leads
// to when it is a symbolic link, which is then replaced, as images are),
// syncs it, renames it over `path` and syncs the folder, so `path` holds the
// previous checkpoint or the new one whenever the machine stops. SIGHUP,
// SIGINT, SIGQUIT and SIGTERM wait while the temporary file exists. A file it
// replaces keeps its permission bits. On failure nothing is left behind,
// `path` is unchanged and `error` names the reason ("No space left on
// device"). True with `error` set when the file is in place but its folder
// could not be synced.
bool write_checkpoint(const std::string& path, const CCheckpointView& state, std::string& error);

// A view of a checkpoint read back, to write it again.
CCheckpointView view_of(const CCheckpoint& checkpoint);
