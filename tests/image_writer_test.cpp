#include <gtest/gtest.h>

#include <vector>

#include "tests/run_program.h"
#include "tools/image_writer.h"

using test_support::CImage;
using test_support::CScratchFolder;

namespace {
// 3 x 2 pixels, row 0 (the bottom) dark, row 1 (the top) bright, every byte distinct.
const std::vector<uint8_t> kPixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 201, 202, 203, 204, 205, 206, 207, 208, 209};
const std::vector<uint8_t> kFileOrder = {201, 202, 203, 204, 205, 206, 207, 208, 209, 1, 2, 3, 4, 5, 6, 7, 8, 9};

TEST(ImageWriter, FormatFollowsTheExtension)
{
    CImageFormat format = CImageFormat::ppm;
    EXPECT_TRUE(image_format_for_path("a/b.png", format));
    EXPECT_EQ(format, CImageFormat::png);
    EXPECT_TRUE(image_format_for_path("B.PPM", format));
    EXPECT_EQ(format, CImageFormat::ppm);
    EXPECT_TRUE(image_format_for_path("x.Png", format));
    EXPECT_EQ(format, CImageFormat::png);
    for (const char* bad : {"a.jpg", "png", "a.png.txt", "dir/.png", ".ppm", "a.pp", ""})
        EXPECT_FALSE(image_format_for_path(bad, format)) << bad;
}

TEST(ImageWriter, FolderOfAPath)
{
    EXPECT_EQ(folder_of("image.png"), ".");
    EXPECT_EQ(folder_of("/image.png"), "/");
    EXPECT_EQ(folder_of("out/pics/image.png"), "out/pics");
}

TEST(ImageWriter, BothFormatsWriteTheTopRowFirst)
{
    CScratchFolder folder;
    std::string error;
    const std::filesystem::path png = folder.path() / "t.png", ppm = folder.path() / "t.ppm";
    ASSERT_TRUE(write_image(png.string(), CImageFormat::png, kPixels.data(), 3, 2, error)) << error;
    ASSERT_TRUE(write_image(ppm.string(), CImageFormat::ppm, kPixels.data(), 3, 2, error)) << error;
    CImage image;
    ASSERT_TRUE(test_support::read_png(png, image));
    EXPECT_EQ(image.width, 3u);
    EXPECT_EQ(image.height, 2u);
    EXPECT_EQ(image.rgb, kFileOrder);
    ASSERT_TRUE(test_support::read_ppm(ppm, image));
    EXPECT_EQ(image.rgb, kFileOrder);
    EXPECT_EQ(test_support::read_text(ppm).substr(0, 11), "P6\n3 2\n255\n");
    // Nothing but the two images: the temporaries were renamed into place.
    EXPECT_EQ(folder.images().size(), 2u);
}

TEST(ImageWriter, ReplacesAnOldFileWhole)
{
    CScratchFolder folder;
    const std::filesystem::path ppm = folder.path() / "t.ppm";
    std::ofstream(ppm) << std::string(5000, 'x');
    std::string error;
    ASSERT_TRUE(write_image(ppm.string(), CImageFormat::ppm, kPixels.data(), 3, 2, error)) << error;
    EXPECT_EQ(std::filesystem::file_size(ppm), 11u + kPixels.size());
}

TEST(ImageWriter, AMissingFolderFailsWithAReason)
{
    CScratchFolder folder;
    const std::string target = (folder.path() / "nowhere" / "t.png").string();
    std::string error;
    EXPECT_FALSE(can_write_beside(target, error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(write_image(target, CImageFormat::png, kPixels.data(), 3, 2, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(folder.images().empty());

    EXPECT_TRUE(can_write_beside((folder.path() / "fine.png").string(), error)) << error;
    EXPECT_TRUE(folder.images().empty());  // the probe leaves nothing behind
}
}  // namespace
