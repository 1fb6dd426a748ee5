#pragma once
// Writes an RGB byte image to a PNG or binary PPM file, upright: the file's
// first row is the image's top row (the last row in memory, since row 0 is the
// bottom of the picture). The file appears under its name only when complete.

#include <cstdint>
#include <string>
#include <vector>

enum class CImageFormat { png, ppm };

// The format named by the path's extension (.png or .ppm, any letter case);
// false when the extension is neither.
bool image_format_for_path(const std::string& path, CImageFormat& format);

// The folder the file would be written to ("." for a bare file name).
std::string folder_of(const std::string& path);

// Checks that a file can be created beside `path` by creating and removing a
// scratch file there. On failure `error` says why, naming the folder.
bool can_write_beside(const std::string& path, std::string& error);

// Writes `width` x `height` RGB pixels (3 bytes each, row 0 at the bottom) to a
// temporary file beside `path`, then renames it into place. On failure nothing
// is left behind and `error` says what went wrong.
bool write_image(const std::string& path, CImageFormat format, const uint8_t* pixels, uint32_t width,
                 uint32_t height, std::string& error);

// The same PNG as write_image makes, in memory: `png` receives the whole file.
bool encode_png(const uint8_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& png,
                std::string& error);
