#include "tools/image_writer.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

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

// Creates a uniquely named "<path>.XXXXXX.tmp" beside `path`; -1 on failure.
int create_temporary(const std::string& path, std::string& temporary)
{
    std::vector<char> name(path.begin(), path.end());
    const char pattern[] = ".XXXXXX.tmp";
    name.insert(name.end(), pattern, pattern + sizeof(pattern));  // with the terminating zero
    const int fd = mkstemps(name.data(), 4);
    if (fd >= 0)
        temporary.assign(name.data());
    return fd;
}

// mkstemps makes the file private; give the image the usual permissions.
void use_default_permissions(int fd)
{
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

// The file's rows from top to bottom.
const uint8_t* file_row(const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t k)
{
    return pixels + size_t{height - 1u - k} * width * 3u;
}

bool write_ppm(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height)
{
    if (std::fprintf(file, "P6\n%u %u\n255\n", width, height) < 0)
        return false;
    for (uint32_t k = 0; k < height; ++k)
        if (std::fwrite(file_row(pixels, width, height, k), 3, width, file) != width)
            return false;
    return true;
}

struct CPngErrors {
    jmp_buf jump;
    char message[200] = "";
};

void png_fail(png_structp png, png_const_charp message)
{
    auto* errors = static_cast<CPngErrors*>(png_get_error_ptr(png));
    std::snprintf(errors->message, sizeof errors->message, "%s", message);
    longjmp(errors->jump, 1);
}

void png_ignore_warning(png_structp, png_const_charp) {}

void png_append(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    try {
        out->insert(out->end(), data, data + length);
    } catch (const std::bad_alloc&) {
        png_error(png, "out of memory");  // libpng's way out; no exception may cross its C frames
    }
}

void png_flush_nothing(png_structp) {}

// Encodes upright into what `attach` points libpng at: a file or memory.
bool encode_png_to(const std::function<void(png_structp)>& attach, const uint8_t* pixels, uint32_t width,
                   uint32_t height, std::string& error)
{
    // Filled before setjmp: nothing below changes after it, so longjmp is safe.
    std::vector<png_const_bytep> rows(height);
    for (uint32_t k = 0; k < height; ++k)
        rows[k] = file_row(pixels, width, height, k);
    CPngErrors errors;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, png_fail, png_ignore_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        error = "libpng could not start";
        return false;
    }
    if (setjmp(errors.jump)) {
        png_destroy_write_struct(&png, &info);
        error = std::string("libpng: ") + errors.message;
        return false;
    }
    attach(png);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_rows(png, const_cast<png_bytepp>(rows.data()), height);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool write_png(FILE* file, const uint8_t* pixels, uint32_t width, uint32_t height, std::string& error)
{
    return encode_png_to([file](png_structp png) { png_init_io(png, file); }, pixels, width, height, error);
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

std::string folder_of(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool can_write_beside(const std::string& path, std::string& error)
{
    const std::string folder = folder_of(path);
    struct stat info{};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "folder '" + folder + "' does not exist";
        return false;
    }
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = "'" + path + "' is a folder";
        return false;
    }
    std::string scratch;
    const int fd = create_temporary(path, scratch);
    if (fd < 0) {
        error = "folder '" + folder + "' is not writable (" + std::strerror(errno) + ")";
        return false;
    }
    close(fd);
    unlink(scratch.c_str());
    return true;
}

bool write_image(const std::string& path, CImageFormat format, const uint8_t* pixels, uint32_t width,
                 uint32_t height, std::string& error)
{
    std::string temporary;
    const int fd = create_temporary(path, temporary);
    if (fd < 0) {
        error = "cannot create a file in '" + folder_of(path) + "': " + std::strerror(errno);
        return false;
    }
    use_default_permissions(fd);
    FILE* file = fdopen(fd, "wb");
    if (!file) {
        error = std::string("cannot open '") + temporary + "': " + std::strerror(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    bool ok = format == CImageFormat::png ? write_png(file, pixels, width, height, error)
                                          : write_ppm(file, pixels, width, height);
    if (ok && format == CImageFormat::ppm && std::ferror(file))
        ok = false;
    if (std::fflush(file) != 0 || fsync(fileno(file)) != 0)
        ok = false;
    if (std::fclose(file) != 0)
        ok = false;
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename '" + temporary + "' to '" + path + "': " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    if (!ok) {
        if (error.empty())
            error = "cannot write '" + temporary + "': " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool encode_png(const uint8_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& png,
                std::string& error)
{
    png.clear();
    return encode_png_to([&png](png_structp writer) { png_set_write_fn(writer, &png, png_append, png_flush_nothing); },
                         pixels, width, height, error);
}
