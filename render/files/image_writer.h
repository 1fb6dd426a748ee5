// SPDX-License-Identifier: Apache-2.0
#pragma once
// Writes an RGB byte image to a PNG or binary PPM file, upright: the file's
// first row is the image's top row (the last row in memory, since row 0 is the
// bottom of the picture). The file appears under its name only when complete.
// A name that is a symbolic link is written through to the file it points to,
// unless another user planted it in a shared sticky folder.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class CImageFormat { png, ppm };

// The format named by the path's extension (.png or .ppm, any letter case);
// false when the extension is neither.
bool image_format_for_path(const std::string& path, CImageFormat& format);

// Checks that a file can be created beside `path` (beside the file it points
// to when it is a symbolic link) by creating and removing a scratch file there,
// that `path` is not a folder, a folder's name ("sub/"), an open descriptor
// (/dev/stdout) or a device, and that the finished image could
// replace it (not another user's file in a shared sticky folder, not an
// immutable or append-only file or folder). On failure `error` says why,
// naming the folder or file.
bool can_write_beside(const std::string& path, std::string& error);

// Writes `width` x `height` RGB pixels (3 bytes each, row 0 at the bottom) to an
// unnamed file in the folder of `path` (a temporary name beside it where the
// file system has no unnamed files), then links it into place; a file it
// replaces keeps its permission bits. The signals that end a process by
// default (but SIGKILL) are held during the write and raised again afterwards.
// On failure nothing is
// left behind, an existing file is unchanged and `error` says what went wrong
// (the system's reason, such as "No space left on device", where there is one).
bool write_image(const std::string& path, CImageFormat format, const uint8_t* pixels, uint32_t width,
                 uint32_t height, std::string& error);

// The image in the given format to an open file, flushed; `error` as above.
bool write_image_file(FILE* file, CImageFormat format, const uint8_t* pixels, uint32_t width, uint32_t height,
                      std::string& error);

// The same PNG as write_image makes, in memory: `png` receives the whole file.
bool encode_png(const uint8_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& png,
                std::string& error);
