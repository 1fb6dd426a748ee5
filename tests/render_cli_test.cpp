// vantrel-render's command line as a user meets it: bad input is refused
// before any rendering, and a signal stops a run with the picture so far.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "engine/backend_select.h"
#include "tests/run_program.h"

using test_support::CChild;
using test_support::CImage;
using test_support::CScratchFolder;

namespace {
const std::string kProgram = VANTREL_RENDER_PATH;

struct CBadInput {
    std::vector<std::string> args;
    std::string named;  // what the one line on stderr must mention
};

size_t line_count(const std::string& text)
{
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

TEST(RenderCli, BadInputExitsTwoWithOneLineAndNoImage)
{
    CScratchFolder folder;
    const std::string image = (folder.path() / "out.png").string();
    const std::vector<CBadInput> cases = {
        {{"--bogus"}, "--bogus"},
        {{"stray"}, "stray"},
        {{"--frames"}, "--frames"},
        {{"--frames", "many"}, "--frames"},
        {{"--frames", "0"}, "--frames"},
        {{"--frames", "-3"}, "--frames"},
        {{"--frames", "2.5"}, "--frames"},
        {{"--frames", "99999999999"}, "--frames"},
        {{"--threads", "0"}, "--threads"},
        {{"--threads", "-1"}, "--threads"},
        {{"--threads", "x"}, "--threads"},
        {{"--seed", "4294967296"}, "--seed"},
        {{"--seed", "-1"}, "--seed"},
        {{"--seed", ""}, "--seed"},
        {{"--backend", "gpu"}, "--backend"},
        {{"--output", (folder.path() / "out.jpg").string()}, "out.jpg"},
        {{"--output", (folder.path() / "png").string()}, "png"},
        {{"--output", (folder.path() / "missing" / "out.png").string()}, "missing"},
        {{"--output", folder.path().string() + "/"}, "--output"},
        {{"--serve", "web"}, "--serve"},
        {{"--serve", "65536"}, "--serve"},
        {{"--serve", "::1:8080"}, "--serve"},
        {{"--serve", ":8080"}, "--serve"},
        {{"--serve", "[::1]8080"}, "--serve"},
        {{"--serve-fps", "5"}, "--serve"},
        {{"--serve", "0", "--serve-fps", "0"}, "--serve-fps"},
        {{"--serve", "0", "--serve-fps", "61"}, "--serve-fps"},
    };
    for (const CBadInput& bad : cases) {
        // Good values for what the case leaves alone, so only its own mistake is in play.
        std::vector<std::string> args;
        for (const std::vector<std::string>& good :
             {std::vector<std::string>{"--frames", "1"}, {"--seed", "1"}, {"--output", image}})
            if (std::find(bad.args.begin(), bad.args.end(), good[0]) == bad.args.end())
                args.insert(args.end(), good.begin(), good.end());
        args.insert(args.end(), bad.args.begin(), bad.args.end());
        CChild child(kProgram, args, folder.path());
        const std::string what = bad.args[0] + (bad.args.size() > 1 ? " " + bad.args[1] : "");
        EXPECT_EQ(child.wait(), 2) << what;
        EXPECT_EQ(child.out(), "") << what;
        const std::string err = child.err();
        EXPECT_EQ(line_count(err), 1u) << what << ": " << err;
        EXPECT_NE(err.find(bad.named), std::string::npos) << what << ": " << err;
        EXPECT_TRUE(folder.images().empty()) << what;
    }
}

// Without CUDA in the build, or (as on our machines) without a usable device.
TEST(RenderCli, CudaWithoutAUsableDeviceIsBadInput)
{
    if (cuda_device_available())
        GTEST_SKIP() << "a CUDA device is available here";
    CScratchFolder folder;
    CChild child(kProgram, {"--backend", "cuda", "--output", (folder.path() / "a.png").string()}, folder.path());
    EXPECT_EQ(child.wait(), 2);
    EXPECT_NE(child.err().find("--backend cuda"), std::string::npos) << child.err();
    EXPECT_EQ(child.out(), "");
    EXPECT_TRUE(folder.images().empty());
}

TEST(RenderCli, AFolderThatCannotBeWrittenIsBadInput)
{
    CScratchFolder folder;
    std::filesystem::path locked = folder.path() / "locked";
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    // Permissions do not bind root; /proc refuses new files to everyone.
    if (access(locked.c_str(), W_OK) == 0)
        locked = "/proc";
    CChild child(kProgram, {"--output", (locked / "vantrel-test.png").string()}, folder.path());
    EXPECT_EQ(child.wait(), 2);
    EXPECT_NE(child.err().find("not writable"), std::string::npos) << child.err();
    EXPECT_FALSE(std::filesystem::exists(locked / "vantrel-test.png"));
}

TEST(RenderCli, HelpAndVersionSucceed)
{
    CScratchFolder folder;
    CChild help(kProgram, {"--help"}, folder.path());
    EXPECT_EQ(help.wait(), 0);
    for (const char* option : {"--frames", "--seed", "--output", "--threads", "--backend", "--quiet", "--version",
                               "--serve", "--serve-fps"})
        EXPECT_NE(help.out().find(option), std::string::npos) << option;
    CChild version(kProgram, {"--version"}, folder.path());
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out().rfind("vantrel-render ", 0), 0u) << version.out();
}

// A signal ends the run after the frame in progress; the picture so far is written.
class RenderSignal : public testing::TestWithParam<int> {};

TEST_P(RenderSignal, StopsAfterTheCurrentFrameAndWritesTheImage)
{
    const int signal_number = GetParam();
    CScratchFolder folder;
    const std::filesystem::path image = folder.path() / "stopped.png";
    CChild child(kProgram, {"--frames", "1000000", "--seed", "5", "--threads", "2", "--output", image.string()},
                 folder.path());
    ASSERT_TRUE(child.wait_for_stdout("Initializing CUDA engine\n", std::chrono::seconds(60))) << child.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    child.signal(signal_number);
    EXPECT_EQ(child.wait(std::chrono::seconds(300)), 128 + signal_number) << child.err();
    EXPECT_EQ(child.out(), "Vantrel Prototype 1\nInitializing CUDA engine\nDeinitializing CUDA engine\n");
    const std::string name = signal_number == SIGINT ? "SIGINT" : "SIGTERM";
    EXPECT_NE(child.err().find("stopped by " + name), std::string::npos) << child.err();
    CImage picture;
    ASSERT_TRUE(test_support::read_png(image, picture));
    EXPECT_EQ(picture.width, 640u);
    EXPECT_EQ(picture.height, 480u);
    EXPECT_EQ(folder.images(), std::vector<std::string>{"stopped.png"});  // no temporary left
}

INSTANTIATE_TEST_SUITE_P(Signals, RenderSignal, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });
}  // namespace
