// SPDX-License-Identifier: Apache-2.0
#include "render/benchmark/known_answer.h"

#include <openssl/evp.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "base/image_size.h"

// The known picture rides in the program as the PNG file itself (the build
// names it in VANTREL_KNOWN_PICTURE); libpng decodes it when a picture differs.
asm(".pushsection .rodata\n"
    ".balign 16\n"
    "vantrel_known_picture_png:\n"
    ".incbin \"" VANTREL_KNOWN_PICTURE "\"\n"
    "vantrel_known_picture_png_end:\n"
    ".popsection\n");
// Hidden: the labels are this object's own, so the compiler addresses them
// directly (through a shared address-table slot, arm64's GCC would read one
// label's address for both and see a picture of 0 bytes).
extern "C" __attribute__((visibility("hidden"))) const unsigned char vantrel_known_picture_png[] __asm__(
    "vantrel_known_picture_png");
extern "C" __attribute__((visibility("hidden"))) const unsigned char vantrel_known_picture_png_end[] __asm__(
    "vantrel_known_picture_png_end");

namespace {
bool decode_known_picture(std::vector<uint8_t>& pixels, std::string& error)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    const size_t size = size_t(vantrel_known_picture_png_end - vantrel_known_picture_png);
    bool ok = png_image_begin_read_from_memory(&image, vantrel_known_picture_png, size) != 0;
    if (ok && (image.width != kImageWidth || image.height != kImageHeight)) {
        error = "the known picture is not " + std::to_string(kImageWidth) + " x " + std::to_string(kImageHeight);
        png_image_free(&image);
        return false;
    }
    if (ok) {
        image.format = PNG_FORMAT_RGB;
        pixels.assign(PNG_IMAGE_SIZE(image), 0);
        // A negative stride stores the file's rows bottom-up: row 0 is the bottom, as in the frame buffers.
        ok = png_image_finish_read(&image, nullptr, pixels.data(), -int(PNG_IMAGE_ROW_STRIDE(image)), nullptr) != 0;
    }
    if (!ok)
        error = std::string("the known picture cannot be decoded: ") + image.message;
    png_image_free(&image);
    return ok;
}
}  // namespace

std::string picture_digest(const uint8_t* pixels, uint32_t width, uint32_t height)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    const size_t row_bytes = size_t{width} * 3;
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(context.get(), header.data(), header.size()) == 1;
    for (uint32_t row = height; ok && row-- > 0;)
        ok = EVP_DigestUpdate(context.get(), pixels + row * row_bytes, row_bytes) == 1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        std::abort();  // only a broken libcrypto fails a digest of memory
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i)
        text += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return text;
}

CKnownAnswer standard_known_answer() { return {kStandardFrames, kStandardDigest, decode_known_picture}; }

CPictureDifference compare_pictures(const uint8_t* picture, const uint8_t* reference, size_t pixel_count)
{
    CPictureDifference difference;
    uint64_t sums[3] = {};
    for (size_t p = 0; p < pixel_count; ++p) {
        bool differs = false;
        for (int c = 0; c < 3; ++c) {
            const uint32_t apart = uint32_t(std::abs(int(picture[3 * p + c]) - int(reference[3 * p + c])));
            difference.largest[c] = std::max(difference.largest[c], apart);
            sums[c] += apart;
            differs = differs || apart != 0;
        }
        difference.pixels += differs ? 1 : 0;
    }
    for (int c = 0; c < 3; ++c)
        difference.mean[c] = pixel_count > 0 ? double(sums[c]) / double(pixel_count) : 0.0;
    return difference;
}

bool within_gpu_bound(const CPictureDifference& difference)
{
    return std::all_of(std::begin(difference.mean), std::end(difference.mean),
                       [](double mean) { return mean <= kGpuMeanBound; });
}

CPictureCheck check_picture(const uint8_t* pixels, uint32_t frame, const CKnownAnswer& known, bool on_gpu)
{
    CPictureCheck check;
    check.done = true;
    check.frame = frame;
    check.digest = picture_digest(pixels, kImageWidth, kImageHeight);
    check.expected = known.digest;
    check.exact = check.verified = check.digest == known.digest;
    if (check.exact && !on_gpu)
        return check;
    // A GPU's report states its difference even at zero; a CPU's only where the bytes differ.
    std::vector<uint8_t> reference;
    if (check.exact) {
        check.compared = true;
    } else if (known.picture && known.picture(reference, check.error)) {
        check.difference = compare_pictures(pixels, reference.data(), kPixelCount);
        check.compared = true;
        check.verified = on_gpu && within_gpu_bound(check.difference);
    }
    return check;
}
