#include "render/files/checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "base/image_size.h"
#include "render/files/atomic_file.h"
#include "render/files/write_landing.h"

namespace {
constexpr char kMagic[8] = {'V', 'N', 'T', 'R', 'L', 'C', 'K', 'P'};
constexpr size_t kHeaderBytes = 32;
constexpr size_t kSumsBytes = size_t{kPixelCount} * 3 * 4;
constexpr size_t kWordsBytes = size_t{kPixelCount} * 4;
constexpr size_t kPixelBytes = size_t{kPixelCount} * 3;
constexpr size_t kFileBytes = kHeaderBytes + kSumsBytes + 2 * kWordsBytes + kPixelBytes + 4;

std::string system_error(int error_number) { return std::strerror(error_number); }

uint32_t crc_of(uint32_t crc, const uint8_t* bytes, size_t length)
{
    return static_cast<uint32_t>(crc32_z(crc, bytes, length));
}

void put_u32(uint8_t* at, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        at[k] = static_cast<uint8_t>(value >> (8 * k));
}

uint32_t get_u32(const uint8_t* at)
{
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

// 32-bit words (counts, states, or floats by their bits) from little-endian bytes.
template <typename T>
void get_words(const uint8_t* from, std::vector<T>& to, size_t count)
{
    static_assert(sizeof(T) == 4);
    to.resize(count);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(to.data(), from, count * 4);
    } else {
        for (size_t k = 0; k < count; ++k) {
            const uint32_t word = get_u32(from + 4 * k);
            std::memcpy(&to[k], &word, 4);
        }
    }
}

// The checkpoint written in full, synced and moved into place (render/files/atomic_file.h);
// every write goes into the crc.
class CDurableFile {
public:
    explicit CDurableFile(const std::string& path) : file_(path)
    {
        if (!file_.created())
            error_ = errno;
    }

    void write_bytes(const void* data, size_t length)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        crc_ = crc_of(crc_, bytes, length);
        while (length > 0 && error_ == 0) {
            const ssize_t written = write(file_.fd(), bytes, length);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0) {
                error_ = written < 0 ? errno : EIO;
                return;
            }
            bytes += written;
            length -= static_cast<size_t>(written);
        }
    }
    // 32-bit words (counts, states, or floats by their bits), little-endian.
    template <typename T>
    void write_words(const T* words, size_t count)
    {
        static_assert(sizeof(T) == 4);
        if constexpr (std::endian::native == std::endian::little) {
            write_bytes(words, count * 4);
        } else {
            uint8_t chunk[4096];
            for (size_t k = 0; k < count; k += sizeof chunk / 4) {
                const size_t n = std::min(count - k, sizeof chunk / 4);
                for (size_t j = 0; j < n; ++j) {
                    uint32_t word;
                    std::memcpy(&word, &words[k + j], 4);
                    put_u32(chunk + 4 * j, word);
                }
                write_bytes(chunk, 4 * n);
            }
        }
    }
    uint32_t crc() const { return crc_; }

    // Keeps the permission bits of a file it replaces, syncs and moves the
    // file into place; 0 or the first error number (see placed()).
    int commit()
    {
        if (error_ == 0) {
            file_.take_target_permissions();
            error_ = file_.sync();
        }
        if (error_ == 0)
            error_ = file_.move_into_place();
        return error_;
    }
    int error() const { return error_; }
    bool placed() const { return file_.placed(); }

private:
    CTemporaryFile file_;
    int error_ = 0;
    uint32_t crc_ = 0;
};

// Reads exactly `length` bytes; 0 or the error number (EIO at an early end).
int read_exactly(int fd, uint8_t* to, size_t length)
{
    while (length > 0) {
        const ssize_t got = read(fd, to, length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : EIO;
        to += got;
        length -= static_cast<size_t>(got);
    }
    return 0;
}

// What is wrong with a file of `size` bytes whose header is `header` (as much
// of it as the file has), or "" when it is a checkpoint this program reads.
std::string header_problem(const uint8_t* header, size_t size)
{
    if (size == 0)
        return "is empty";
    if (size < sizeof kMagic || std::memcmp(header, kMagic, sizeof kMagic) != 0)
        return "is not a Vantrel checkpoint";
    if (size < kHeaderBytes)
        return "is truncated (" + std::to_string(size) + " of " + std::to_string(kFileBytes) + " bytes)";
    const uint32_t version = get_u32(header + 8);
    if (version != kCheckpointVersion)
        return "is a checkpoint of format version " + std::to_string(version) + "; this vantrel-render reads version " +
               std::to_string(kCheckpointVersion);
    const uint32_t width = get_u32(header + 12), height = get_u32(header + 16);
    if (width != kImageWidth || height != kImageHeight)
        return "holds a " + std::to_string(width) + " x " + std::to_string(height) + " image; this vantrel-render renders " +
               std::to_string(kImageWidth) + " x " + std::to_string(kImageHeight);
    if (size != kFileBytes)
        return (size < kFileBytes ? "is truncated (" : "is too long (") + std::to_string(size) + " bytes, a checkpoint has " +
               std::to_string(kFileBytes) + ")";
    return "";
}
std::string at_pixel(size_t p) { return " at pixel " + std::to_string(p) + " ("; }

std::string number(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
}

// What no render could have saved, though the checksum holds: "" when the
// contents are possible. Every sample is clamped to 0..1 and each frame
// gives a pixel at most one, so a sum lies between 0 and the pixel's count,
// and the count at most at the frames done and the cap.
std::string contents_problem(const CCheckpoint& saved)
{
    if (saved.frames_done == 0)
        return "holds no frames done (frames done is 0)";
    if (saved.frames_done > saved.frames_asked)
        return "holds " + std::to_string(saved.frames_done) + " frames done of " +
               std::to_string(saved.frames_asked) + " asked for (frames done is above frames asked for)";
    const uint32_t cap = std::min(engine_sample_cap(), saved.frames_done);
    const uint32_t largest_state = engine_largest_random_state();
    for (size_t p = 0; p < kPixelCount; ++p) {
        const uint32_t count = saved.counts[p];
        if (count > cap)
            return "has an impossible sample count" + at_pixel(p) + std::to_string(count) + "; at most " +
                   std::to_string(cap) + " after " + std::to_string(saved.frames_done) + " frames)";
        if (saved.random_states[p] > largest_state)
            return "has an impossible random state" + at_pixel(p) + std::to_string(saved.random_states[p]) +
                   "; the generator's run from 0 to " + std::to_string(largest_state) + ")";
        for (size_t c = 0; c < 3; ++c) {
            const float sum = saved.sums[3 * p + c];
            if (!std::isfinite(sum) || sum < 0.0f || sum > static_cast<float>(count))
                return "has an impossible sum" + at_pixel(p) + number(sum) + " for " + std::to_string(count) +
                       " samples; a sum lies from 0 to the sample count)";
            // The display byte as the kernel makes it (255 x the average, truncated);
            // a GPU divides approximately, so one level either way is its own.
            const int shown = saved.pixels[3 * p + c];
            const int made = count == 0 ? 0 : static_cast<int>(sum / static_cast<float>(count) * 255.0f);
            if (shown < made - (count == 0 ? 0 : 1) || shown > made + (count == 0 ? 0 : 1))
                return "has display bytes that its sums and counts do not give" + at_pixel(p) +
                       std::to_string(shown) + " where they give " + std::to_string(made) + ")";
        }
    }
    return "";
}
}  // namespace

size_t checkpoint_file_bytes() { return kFileBytes; }

bool read_checkpoint(const std::string& path, CCheckpoint& checkpoint, std::string& error)
{
    // Not blocking: a named pipe is refused below rather than waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot be read: " + system_error(errno);
        return false;
    }
    struct stat info {};
    std::vector<uint8_t> bytes;
    int failed = fstat(fd, &info) != 0 ? errno : 0;
    if (failed == 0 && S_ISDIR(info.st_mode))
        error = "is a folder, not a checkpoint";
    else if (failed == 0 && !S_ISREG(info.st_mode))
        error = "is not a regular file";
    if (failed == 0 && error.empty()) {
        const size_t size = static_cast<size_t>(info.st_size);
        bytes.resize(std::min(size, kHeaderBytes));
        failed = read_exactly(fd, bytes.data(), bytes.size());
        if (failed == 0)
            error = header_problem(bytes.data(), size);
        if (failed == 0 && error.empty()) {
            bytes.resize(kFileBytes);
            failed = read_exactly(fd, bytes.data() + kHeaderBytes, kFileBytes - kHeaderBytes);
        }
    }
    close(fd);
    if (failed != 0)
        error = "cannot be read: " + system_error(failed);
    if (!error.empty())
        return false;
    if (crc_of(0, bytes.data(), kFileBytes - 4) != get_u32(bytes.data() + kFileBytes - 4)) {
        error = "is corrupted (its checksum does not match its contents)";
        return false;
    }
    const uint8_t* at = bytes.data();
    checkpoint.seed = get_u32(at + 20);
    checkpoint.frames_done = get_u32(at + 24);
    checkpoint.frames_asked = get_u32(at + 28);
    at += kHeaderBytes;
    get_words(at, checkpoint.sums, size_t{kPixelCount} * 3);
    at += kSumsBytes;
    get_words(at, checkpoint.counts, kPixelCount);
    at += kWordsBytes;
    get_words(at, checkpoint.random_states, kPixelCount);
    at += kWordsBytes;
    checkpoint.pixels.assign(at, at + kPixelBytes);
    error = contents_problem(checkpoint);
    return error.empty();
}

bool write_checkpoint(const std::string& path, const CCheckpointView& state, std::string& error)
{
    // Through a link, like the images: the file it leads to is replaced.
    std::string target;
    if (!resolve_links(path, target, error))
        return false;
    const CHeldSignals held;
    CDurableFile file(target);
    uint8_t header[kHeaderBytes];
    std::memcpy(header, kMagic, sizeof kMagic);
    put_u32(header + 8, kCheckpointVersion);
    put_u32(header + 12, kImageWidth);
    put_u32(header + 16, kImageHeight);
    put_u32(header + 20, state.seed);
    put_u32(header + 24, state.frames_done);
    put_u32(header + 28, state.frames_asked);
    if (file.error() == 0) {
        file.write_bytes(header, sizeof header);
        file.write_words(state.sums, size_t{kPixelCount} * 3);
        file.write_words(state.counts, kPixelCount);
        file.write_words(state.random_states, kPixelCount);
        file.write_bytes(state.pixels, kPixelBytes);
        uint8_t crc[4];
        put_u32(crc, file.crc());
        file.write_bytes(crc, sizeof crc);
    }
    const int failed = file.error() != 0 ? file.error() : file.commit();
    if (failed != 0 && file.placed()) {
        error = "its folder could not be synced to the disk (" + system_error(failed) + ")";
        return true;
    }
    if (failed != 0)
        error = system_error(failed);
    return failed == 0;
}

CCheckpointView view_of(const CCheckpoint& checkpoint)
{
    return {checkpoint.seed,        checkpoint.frames_done,          checkpoint.frames_asked,
            checkpoint.sums.data(), checkpoint.counts.data(),        checkpoint.random_states.data(),
            checkpoint.pixels.data()};
}
