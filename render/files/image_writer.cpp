// SPDX-License-Identifier: Apache-2.0
#include "render/files/image_writer.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <png.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstring>
#include <new>
#include <vector>

#include "render/files/atomic_file.h"
#include "render/files/write_landing.h"

namespace {
std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool ends_with(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string system_error(int error_number) { return std::strerror(error_number); }

// The file's inode flags (FS_IMMUTABLE_FL, FS_APPEND_FL, ...), 0 where they
// cannot be read.
int inode_flags(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int flags = 0;
    if (fd < 0)
        return 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        flags = 0;
    close(fd);
    return flags;
}

// The file's rows from top to bottom.
const uint8_t* file_row(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t k)
{
    return pixels + size_t{height - 1u - k} * width * 3u;
}

// 0 or the error number of the first failed write.
int write_ppm(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height)
{
    if (std::fprintf(file, "P6\n%u %u\n255\n", width, height) < 0)
        return errno;
    for (uint32_t k = 0; k < height; ++k)
        if (std::fwrite(file_row(pixels, width, height, k), 3, width, file) != width)
            return errno;
    return 0;
}

struct CPngState {
    jmp_buf jump;
    FILE* file = nullptr;                   // where the bytes go: a file,
    std::vector<uint8_t>* memory = nullptr;  // or memory
    int error_number = 0;  // of a failed write, so it is named rather than libpng's "Write Error"
    char message[200] = "";
};

void png_fail(png_structp png, png_const_charp message)
{
    auto* state = static_cast<CPngState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    longjmp(state->jump, 1);
}

void png_ignore_warning(png_structp, png_const_charp) {}

void png_write_bytes(png_structp png, png_bytep data, size_t length)
{
    auto* state = static_cast<CPngState*>(png_get_io_ptr(png));
    if (state->memory != nullptr) {
        try {
            state->memory->insert(state->memory->end(), data, data + length);
        } catch (const std::bad_alloc&) {
            png_error(png, "out of memory");  // libpng's way out; no exception may cross its C frames
        }
        return;
    }
    if (std::fwrite(data, 1, length, state->file) != length) {
        state->error_number = errno;
        png_error(png, "write failed");
    }
}

void png_flush_nothing(png_structp) {}

// Encodes upright into a file or, with `memory`, into memory.
bool write_png(FILE* file, std::vector<uint8_t>* memory, const uint8_t* pixels, uint32_t width, uint32_t height,
               std::string& error)
{
    // Filled before setjmp: nothing below changes after it, so longjmp is safe.
    std::vector<png_const_bytep> rows(height);
    for (uint32_t k = 0; k < height; ++k)
        rows[k] = file_row(pixels, width, height, k);
    CPngState state;
    state.file = file;
    state.memory = memory;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, png_fail, png_ignore_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        error = "libpng could not start";
        return false;
    }
    if (setjmp(state.jump)) {
        png_destroy_write_struct(&png, &info);
        error = state.error_number != 0 ? system_error(state.error_number) : std::string("libpng: ") + state.message;
        return false;
    }
    png_set_write_fn(png, &state, png_write_bytes, png_flush_nothing);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_rows(png, const_cast<png_bytepp>(rows.data()), height);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool image_format_for_path(const std::string& path, CImageFormat& format)
{
    const std::string name = lower(path);
    if (ends_with(name, ".png") && name.size() > 4 && name[name.size() - 5] != '/') {
        format = CImageFormat::png;
        return true;
    }
    if (ends_with(name, ".ppm") && name.size() > 4 && name[name.size() - 5] != '/') {
        format = CImageFormat::ppm;
        return true;
    }
    return false;
}

bool can_write_beside(const std::string& path, std::string& error)
{
    std::string target;
    if (!resolve_links(path, target, error))
        return false;
    if (const int descriptor = descriptor_named(path); descriptor >= 0) {
        error = "it names open descriptor " + std::to_string(descriptor) + ", not a file to replace";
        return false;
    }
    const std::string folder = folder_of(target);
    struct stat info{};
    if (stat(folder.c_str(), &info) != 0) {
        if (errno == ENOENT)
            error = "folder '" + folder + "' does not exist";
        else if (errno == ENOTDIR)
            error = "'" + folder + "' is not a folder";
        else
            error = "folder '" + folder + "': " + system_error(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        error = "'" + folder + "' is not a folder";
        return false;
    }
    if ((inode_flags(folder) & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
        error = "folder '" + folder + "' is immutable or append-only: no file in it can be replaced";
        return false;
    }
    const struct stat folder_info = info;
    if (stat(target.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            error = "'" + target + "' is a folder";
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            error = "'" + target + "' is not a regular file";
            return false;
        }
        // Found now rather than when the finished image cannot be moved into place.
        const uid_t me = geteuid();
        if (is_shared_folder(folder_info) && me != 0 && info.st_uid != me && folder_info.st_uid != me) {
            error = "'" + target + "' belongs to another user in the shared folder '" + folder +
                    "' and cannot be replaced";
            return false;
        }
        if ((inode_flags(target) & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
            error = "'" + target + "' is immutable or append-only and cannot be replaced";
            return false;
        }
    } else if (errno != ENOENT) {
        error = "'" + target + "': " + system_error(errno);
        return false;
    }
    CHeldSignals held;
    const CTemporaryFile scratch(target);
    if (!scratch.created()) {
        const int why = errno;
        error = why == EACCES || why == EPERM || why == EROFS
                    ? "folder '" + folder + "' is not writable (" + system_error(why) + ")"
                    : "folder '" + folder + "' does not take new files (" + system_error(why) + ")";
        return false;
    }
    return true;
}

bool write_image_file(FILE* file, CImageFormat format, const uint8_t* pixels, uint32_t width, uint32_t height,
                      std::string& error)
{
    if (format == CImageFormat::png) {
        if (!write_png(file, nullptr, pixels, width, height, error))
            return false;
    } else if (const int failure = write_ppm(file, pixels, width, height); failure != 0) {
        error = system_error(failure);
        return false;
    }
    if (std::fflush(file) != 0 || std::ferror(file)) {
        error = system_error(errno);
        return false;
    }
    return true;
}

bool write_image(const std::string& path, CImageFormat format, const uint8_t* pixels, uint32_t width,
                 uint32_t height, std::string& error)
{
    return write_whole_file(
        path, "image",
        [&](FILE* file, std::string& why) { return write_image_file(file, format, pixels, width, height, why); },
        error);
}

bool encode_png(const uint8_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& png, std::string& error)
{
    png.clear();
    return write_png(nullptr, &png, pixels, width, height, error);
}
