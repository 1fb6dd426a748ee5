// SPDX-License-Identifier: Apache-2.0
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "render/files/write_landing.h"
#include "tests/run_program.h"
#include "render/files/image_writer.h"

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

// Where the image lands and with which permissions, for the names a user may give.
TEST(ImageWriter, ReplacesTheFileANameLeadsToKeepingItsPermissions)
{
    struct CTarget {
        const char* what;
        std::string name;       // given to write_image
        std::string lands;      // where the image must be
        mode_t existing_mode;   // of a file already there, 0 for none
        mode_t mode;            // of the image afterwards
    };
    CScratchFolder folder;
    const std::filesystem::path at = folder.path();
    std::filesystem::create_directory(at / "sub");
    std::filesystem::create_symlink("sub/target.ppm", at / "link.ppm");
    std::filesystem::create_symlink(at / "link.ppm", at / "chain.ppm");
    std::filesystem::create_symlink("nothing-yet.ppm", at / "dangling.ppm");
    const std::string longest(NAME_MAX - 4, 'n');
    const mode_t fresh = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return 0666 & ~mask;
    }();
    const std::vector<CTarget> targets = {
        {"a new file", "new.ppm", "new.ppm", 0, fresh},
        {"a private file", "private.ppm", "private.ppm", 0600, 0600},
        {"a read-only file", "read-only.ppm", "read-only.ppm", 0444, 0444},
        {"a symbolic link", "link.ppm", "sub/target.ppm", 0640, 0640},
        {"a chain of links", "chain.ppm", "sub/target.ppm", 0604, 0604},
        {"a link to nothing yet", "dangling.ppm", "nothing-yet.ppm", 0, fresh},
        {"the longest name", longest + ".ppm", longest + ".ppm", 0, fresh},
    };
    for (const CTarget& t : targets) {
        const std::filesystem::path lands = at / t.lands;
        if (t.existing_mode != 0) {
            std::ofstream(lands) << "old";
            chmod(lands.c_str(), t.existing_mode);
        }
        std::string error;
        ASSERT_TRUE(can_write_beside((at / t.name).string(), error)) << t.what << ": " << error;
        ASSERT_TRUE(write_image((at / t.name).string(), CImageFormat::ppm, kPixels.data(), 3, 2, error))
            << t.what << ": " << error;
        CImage image;
        ASSERT_TRUE(test_support::read_ppm(lands, image)) << t.what;
        EXPECT_EQ(image.rgb, kFileOrder) << t.what;
        struct stat info{};
        lstat(lands.c_str(), &info);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << t.what;
        EXPECT_EQ(info.st_mode & 07777, t.mode) << t.what;
    }
    // The links still lead to the image, and nothing else was left behind.
    EXPECT_TRUE(std::filesystem::is_symlink(at / "link.ppm"));
    EXPECT_TRUE(std::filesystem::is_symlink(at / "dangling.ppm"));
    std::vector<std::string> names = folder.images();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"chain.ppm", "dangling.ppm", "link.ppm", "new.ppm", longest + ".ppm",
                                               "nothing-yet.ppm", "private.ppm", "read-only.ppm", "sub"}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(at / "sub"), {}), 1);
}

TEST(ImageWriter, AFullDeviceIsNamedForBothFormats)
{
    // Varied bytes, so the PNG is larger than a stdio buffer and fails while libpng writes.
    std::vector<uint8_t> noise(size_t{256} * 256 * 3);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    for (CImageFormat format : {CImageFormat::png, CImageFormat::ppm}) {
        FILE* full = std::fopen("/dev/full", "wb");
        ASSERT_NE(full, nullptr);
        std::string error;
        EXPECT_FALSE(write_image_file(full, format, noise.data(), 256, 256, error));
        EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
        std::fclose(full);
    }
}

// Sets or clears inode flags (chattr); false where the file system has none.
bool set_inode_flags(const std::filesystem::path& path, int flags)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const bool done = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    return done;
}

// In a shared folder (mode 1777, like /tmp) another user's link is not
// followed, and a file that cannot be replaced is found before any rendering
// (can_write_beside), not once the image is finished.
TEST(ImageWriter, ATargetThatCannotBeReplacedSafelyIsFoundBeforehand)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "planting another user's files needs root";
    constexpr uid_t kOther = 65534;
    CScratchFolder folder;
    const std::filesystem::path shared = folder.path() / "shared", mine = folder.path() / "mine";
    std::filesystem::create_directory(shared);
    std::filesystem::create_directory(mine);
    chmod(shared.c_str(), 01777);
    chmod(folder.path().c_str(), 0755);
    std::ofstream(mine / "victim.txt") << "private";
    std::filesystem::create_symlink("../mine/victim.txt", shared / "planted.ppm");
    ASSERT_EQ(lchown((shared / "planted.ppm").c_str(), kOther, kOther), 0);
    std::filesystem::create_symlink("../mine/own.ppm", shared / "own.ppm");
    // A folder of the path planted as a link, and our own such link.
    std::filesystem::create_directory_symlink("../mine", shared / "planted-folder");
    ASSERT_EQ(lchown((shared / "planted-folder").c_str(), kOther, kOther), 0);
    std::filesystem::create_directory_symlink("../mine", shared / "own-folder");
    std::ofstream(shared / "theirs.ppm") << "theirs";
    ASSERT_EQ(chown((shared / "theirs.ppm").c_str(), 0, 0), 0);
    chmod((shared / "theirs.ppm").c_str(), 0666);
    std::ofstream(mine / "locked.ppm") << "locked";
    std::ofstream(mine / "log.ppm") << "log";
    const bool flags = set_inode_flags(mine / "locked.ppm", FS_IMMUTABLE_FL) &&
                       set_inode_flags(mine / "log.ppm", FS_APPEND_FL);
    struct CTarget {
        std::filesystem::path name;
        uid_t as;           // the user who writes
        const char* said;   // in the refusal, or nullptr: allowed
    };
    std::vector<CTarget> targets = {
        {shared / "planted.ppm", 0, "symbolic link of another user"},
        {shared / "own.ppm", 0, nullptr},
        {shared / "planted-folder" / "victim.txt", 0, "symbolic link of another user"},
        {shared / "planted-folder" / "." / "sub" / ".." / "new.ppm", 0, "symbolic link of another user"},
        {shared / "own-folder" / "mine.ppm", 0, nullptr},
        {shared / "theirs.ppm", kOther, "belongs to another user"},
        {shared / "new.ppm", kOther, nullptr},
    };
    if (flags) {
        targets.push_back({mine / "locked.ppm", 0, "immutable or append-only"});
        targets.push_back({mine / "log.ppm", 0, "immutable or append-only"});
    }
    for (const CTarget& t : targets) {
        ASSERT_EQ(seteuid(t.as), 0);
        std::string before, during;
        const bool allowed = can_write_beside(t.name.string(), before);
        const bool written = write_image(t.name.string(), CImageFormat::ppm, kPixels.data(), 3, 2, during);
        ASSERT_EQ(seteuid(0), 0);
        EXPECT_EQ(allowed, t.said == nullptr) << t.name << ": " << before;
        EXPECT_EQ(written, t.said == nullptr) << t.name << ": " << during;
        if (t.said != nullptr) {
            EXPECT_NE(before.find(t.said), std::string::npos) << t.name << ": " << before;
        }
    }
    EXPECT_EQ(test_support::read_text(mine / "victim.txt"), "private");
    EXPECT_FALSE(std::filesystem::exists(mine / "new.ppm"));
    EXPECT_TRUE(std::filesystem::exists(mine / "mine.ppm"));
    EXPECT_EQ(test_support::read_text(shared / "theirs.ppm"), "theirs");
    if (flags) {
        set_inode_flags(mine / "locked.ppm", 0);
        set_inode_flags(mine / "log.ppm", 0);
    }
}

// What a run killed between naming and renaming its temporary file left is
// removed by the next write of that target: only files of that exact
// pattern, only regular files of ours, never one still being written.
TEST(ImageWriter, TheNextWriteRemovesTheLeftoversOfAKilledRun)
{
    CScratchFolder folder;
    const std::filesystem::path at = folder.path();
    const std::vector<std::string> removed = {"t.ppm.a1B2c3.tmp", "t.ppm.zzzzzz.tmp"};
    const std::vector<std::string> kept = {"t.ppm.a1B2c.tmp", "t.ppm.a1B2c3.tmp.tmp", "u.ppm.a1B2c3.tmp",
                                           "t.ppm.a-B2c3.tmp", "t.ppm.LINK00.tmp", "t.ppm.FOLDER.tmp",
                                           "t.ppm.HELDxx.tmp"};
    for (const std::string& name : removed)
        std::ofstream(at / name) << "left";
    for (const std::string& name : {kept[0], kept[1], kept[2], kept[3], kept[6]})
        std::ofstream(at / name) << "left";
    std::filesystem::create_symlink("u.ppm.a1B2c3.tmp", at / kept[4]);
    std::filesystem::create_directory(at / kept[5]);
    // A file another writer holds, as a run that is still writing does.
    const int held = open((at / kept[6]).c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::string error;
    ASSERT_TRUE(write_image((at / "t.ppm").string(), CImageFormat::ppm, kPixels.data(), 3, 2, error)) << error;
    close(held);
    for (const std::string& name : removed)
        EXPECT_FALSE(std::filesystem::exists(at / name)) << name;
    for (const std::string& name : kept)
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(at / name))) << name;
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
