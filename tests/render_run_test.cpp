// SPDX-License-Identifier: Apache-2.0
// vantrel-render end to end: what the picture shows, that it depends only on
// the seed and the frame count, and what a hostile environment does to a run.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "engine/cpu/cpu_pass.h"
#include "engine/cpu_passes.h"
#include "render/files/image_writer.h"
#include "tests/engine_run.h"
#include "tests/run_program.h"
#include "render/files/checkpoint.h"

using test_support::CChild;
using test_support::CChildSetup;
using test_support::CImage;
using test_support::CScratchFolder;

namespace {
const std::string kProgram = VANTREL_RENDER_PATH;
const std::string kConsole = "Vantrel Prototype 1\nInitializing CUDA engine\nDeinitializing CUDA engine\n";

// The mean of one channel over a block of file rows and columns.
double mean(const CImage& image, int channel, uint32_t row0, uint32_t row1, uint32_t col0, uint32_t col1)
{
    double sum = 0.0;
    for (uint32_t r = row0; r < row1; ++r)
        for (uint32_t c = col0; c < col1; ++c)
            sum += image.at(r, c)[channel];
    return sum / ((row1 - row0) * (col1 - col0));
}

size_t line_count(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

std::vector<std::string> fixed_run(const std::filesystem::path& image, const char* threads)
{
    return {"--frames", "3", "--seed", "7", "--threads", threads, "--output", image.string()};
}

TEST(RenderRun, AFixedSeedShowsTheBoxUprightAndLit)
{
    CScratchFolder folder;
    CChild child(kProgram, fixed_run(folder.path() / "box.png", "2"), folder.path());
    ASSERT_EQ(child.wait(), 0) << child.err();
    EXPECT_EQ(child.out(), kConsole);
    const std::string err = child.err();
    EXPECT_EQ(err.find("seed"), std::string::npos) << err;  // given, so not printed
    EXPECT_NE(err.find("3 frames"), std::string::npos) << err;
    EXPECT_NE(err.find("box.png"), std::string::npos) << err;

    CImage image;
    ASSERT_TRUE(test_support::read_png(folder.path() / "box.png", image));
    ASSERT_EQ(image.width, 640u);
    ASSERT_EQ(image.height, 480u);
    // The file's first rows look straight at the ceiling light: pure white.
    for (uint32_t r = 0; r < 10; ++r)
        for (uint32_t c = 64; c < 576; ++c) {
            const uint8_t* rgb = image.at(r, c);
            ASSERT_TRUE(rgb[0] == 255 && rgb[1] == 255 && rgb[2] == 255) << "row " << r << " column " << c;
        }
    // Left wall red, right wall blue.
    const double left_red = mean(image, 0, 150, 250, 10, 60), left_blue = mean(image, 2, 150, 250, 10, 60);
    const double right_red = mean(image, 0, 150, 250, 580, 630), right_blue = mean(image, 2, 150, 250, 580, 630);
    EXPECT_GT(left_red, left_blue + 20.0) << left_red << " " << left_blue;
    EXPECT_GT(right_blue, right_red + 20.0) << right_red << " " << right_blue;
    // The last file rows are the floor, darker than the light.
    EXPECT_LT(mean(image, 1, 470, 480, 200, 440), 200.0);

    // Most pixels have a sample, by the summary and by the picture.
    std::smatch match;
    ASSERT_TRUE(std::regex_search(err, match, std::regex("(\\d+) of 307200 pixels sampled"))) << err;
    EXPECT_GT(std::stoul(match[1]), 307200u * 8 / 10);
    size_t lit = 0;
    for (size_t p = 0; p < size_t{640} * 480; ++p)
        lit += (image.rgb[3 * p] | image.rgb[3 * p + 1] | image.rgb[3 * p + 2]) != 0;
    EXPECT_GT(lit, 307200u * 8 / 10);
}

TEST(RenderRun, TheThreadCountAndFormatDoNotChangeThePicture)
{
    CScratchFolder folder;
    CChild one(kProgram, fixed_run(folder.path() / "one.png", "1"), folder.path());
    ASSERT_EQ(one.wait(), 0) << one.err();
    CChild two(kProgram, fixed_run(folder.path() / "two.png", "2"), folder.path());
    ASSERT_EQ(two.wait(), 0) << two.err();
    const std::string one_bytes = test_support::read_text(folder.path() / "one.png");
    EXPECT_FALSE(one_bytes.empty());
    EXPECT_TRUE(one_bytes == test_support::read_text(folder.path() / "two.png"));

    CChild ppm(kProgram, fixed_run(folder.path() / "same.PPM", "2"), folder.path());
    ASSERT_EQ(ppm.wait(), 0) << ppm.err();
    CImage from_png, from_ppm;
    ASSERT_TRUE(test_support::read_png(folder.path() / "one.png", from_png));
    ASSERT_TRUE(test_support::read_ppm(folder.path() / "same.PPM", from_ppm));
    EXPECT_EQ(from_ppm.width, 640u);
    EXPECT_EQ(from_ppm.height, 480u);
    EXPECT_TRUE(from_png.rgb == from_ppm.rgb);
}

TEST(RenderSeed, WithoutASeedTheClockSeedIsPrintedAndRepeatsThePicture)
{
    CScratchFolder folder;
    const std::string first = (folder.path() / "clock.png").string();
    CChild clock(kProgram, {"--frames", "1", "--output", first}, folder.path());
    ASSERT_EQ(clock.wait(), 0) << clock.err();
    std::smatch match;
    const std::string err = clock.err();
    ASSERT_TRUE(std::regex_search(err, match, std::regex("seed (\\d+)"))) << err;
    EXPECT_EQ(clock.out(), kConsole);

    const std::string again = (folder.path() / "again.png").string();
    CChild repeat(kProgram, {"--frames", "1", "--seed", match[1].str(), "--output", again}, folder.path());
    ASSERT_EQ(repeat.wait(), 0) << repeat.err();
    EXPECT_TRUE(test_support::read_text(first) == test_support::read_text(again));
}
// How the first part of a resumed render ended.
enum class CStop {
    frames,  // its --frames were done
    signal,  // SIGTERM while rendering: the checkpoint is saved on the way out
    kill,    // kill -9 while rendering, some time after a checkpoint every second
};

struct CResumeCase {
    const char* name;
    const char* first_pass;  // VANTREL_CPU_PASS and threads of the first part
    const char* first_threads;
    const char* then_pass;  // and of the resumed part
    const char* then_threads;
    CStop stop;
    int more;  // frames the resumed run asks for beyond the saved ones (below 0: fewer)
    bool through_link = false;  // both runs name a symbolic link to the checkpoint, which stays one
};

void PrintTo(const CResumeCase& c, std::ostream* out) { *out << c.name; }

class RenderResume : public testing::TestWithParam<CResumeCase> {};

// A render stopped and carried on with --resume gives the bytes of one run
// never stopped, whatever the passes, thread counts and stop; it goes on
// saving into the file it was resumed from.
TEST_P(RenderResume, GivesTheBytesOfARunNeverStopped)
{
    const CResumeCase& c = GetParam();
    CScratchFolder folder;
    const std::string checkpoint = (folder.path() / "render.ckpt").string();
    const std::string given = c.through_link ? (folder.path() / "link.ckpt").string() : checkpoint;
    if (c.through_link)
        std::filesystem::create_symlink("render.ckpt", given);
    const std::string seed = "11";
    std::vector<std::string> first = {"--seed", seed, "--threads", c.first_threads, "--checkpoint", given,
                                      "--output", (folder.path() / "first.png").string()};
    first.insert(first.end(), {"--frames", c.stop == CStop::frames ? "4" : "1000000"});
    if (c.stop == CStop::kill)
        first.insert(first.end(), {"--checkpoint-every", "1"});
    {
        CChild child(kProgram, first, folder.path(),
                     CChildSetup::with_environment({std::string("VANTREL_CPU_PASS=") + c.first_pass}));
        if (c.stop == CStop::signal) {
            ASSERT_TRUE(child.wait_for_stderr(" frames, ", std::chrono::seconds(120))) << child.err();
            child.signal(SIGTERM);
        } else if (c.stop == CStop::kill) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (!std::filesystem::exists(checkpoint) && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            child.signal(SIGKILL);
        }
        const int expected[] = {0, 128 + SIGTERM, 128 + SIGKILL};
        ASSERT_EQ(child.wait(), expected[static_cast<int>(c.stop)]) << child.err();
    }
    CCheckpoint saved;
    std::string error;
    ASSERT_TRUE(read_checkpoint(checkpoint, saved, error)) << error;
    EXPECT_EQ(saved.seed, 11u);
    const uint32_t done = saved.frames_done;
    ASSERT_GT(done, 1u);
    const uint32_t asked = static_cast<uint32_t>(static_cast<int>(done) + c.more);
    const uint32_t total = std::max(done, asked);

    const std::string resumed = (folder.path() / "resumed.png").string();
    CChild then(kProgram,
                {"--resume", given, "--frames", std::to_string(asked), "--threads", c.then_threads, "--output",
                 resumed},
                folder.path(), CChildSetup::with_environment({std::string("VANTREL_CPU_PASS=") + c.then_pass}));
    ASSERT_EQ(then.wait(), 0) << then.err();
    const std::string reference = (folder.path() / "reference.png").string();
    CChild never_stopped(kProgram, {"--frames", std::to_string(total), "--seed", seed, "--output", reference},
                         folder.path());
    ASSERT_EQ(never_stopped.wait(), 0) << never_stopped.err();
    const std::string bytes = test_support::read_text(resumed);
    EXPECT_FALSE(bytes.empty());
    EXPECT_TRUE(bytes == test_support::read_text(reference)) << done << " frames saved, " << asked << " asked";
    ASSERT_TRUE(read_checkpoint(checkpoint, saved, error)) << error;
    EXPECT_EQ(saved.frames_done, total);
    EXPECT_EQ(std::filesystem::is_symlink(given), c.through_link);
}

INSTANTIATE_TEST_SUITE_P(
    StopPoints, RenderResume,
    testing::Values(CResumeCase{"FramesDoneThenOtherPassAndThreads", "plain", "1", "avx2", "2", CStop::frames, 3},
                    CResumeCase{"ThroughALink", "avx2", "2", "avx2", "2", CStop::frames, 2, true},
                    CResumeCase{"SigtermThenResumed", "avx2", "2", "sse2", "1", CStop::signal, 2},
                    CResumeCase{"KillNineBetweenCheckpoints", "sse2", "2", "plain", "2", CStop::kill, 2},
                    CResumeCase{"FewerFramesThanSavedWritesThePictureAtOnce", "avx2", "1", "plain", "2",
                                CStop::frames, -1}),
    [](const testing::TestParamInfo<CResumeCase>& info) { return std::string(info.param.name); });

// Settings from the environment and limits on the process: a warning and the
// picture, or one clear line and the old file; never a crash, never a temporary left.
TEST(RenderEnvironment, LimitsGiveAClearLineNeverACrash)
{
    struct CLimitCase {
        const char* what;
        CChildSetup setup;
        int status;
        const char* said;  // on stderr, in the one line before the summary (or the only line)
        std::vector<std::string> args = {};
    };
    // Too little address space for the live view's threads, with their usual stacks.
    CChildSetup serving_short;
    serving_short.limits = {{RLIMIT_AS, rlim_t{100000} << 10}, {RLIMIT_STACK, rlim_t{8} << 20}};
    // Room for some of the threads asked, not for all of them and their working space.
    CChildSetup threads_short = serving_short;
    threads_short.limits[0].second = rlim_t{600000} << 10;
    std::vector<CLimitCase> cases = {
        {"OMP_NUM_THREADS above the limit", CChildSetup::with_environment({"OMP_NUM_THREADS=65536"}), 0, "using 1024"},
        {"an unknown CPU pass", CChildSetup::with_environment({"VANTREL_CPU_PASS=fastest"}), 0,
         "accepted here: plain, sse2"},
        {"a CPU pass with terminal controls", CChildSetup::with_environment({"VANTREL_CPU_PASS=x\xc2\x9b\x9b\xff"}),
         0, "VANTREL_CPU_PASS=x\\xc2\\x9b\\x9b\\xff is not"},
        {"a file-size limit", CChildSetup::with_limit(RLIMIT_FSIZE, 50000), 1, "File too large"},
        {"--serve short of memory", serving_short, 1, "cannot start the live view's threads", {"--serve", "0"}},
        {"--threads 1024 short of memory", threads_short, 0, "threads could start", {"--threads", "1024"}},
    };
    if (!cpu_pass_supported(CCpuPass::avx512))
        cases.push_back(
            {"an unsupported CPU pass", CChildSetup::with_environment({"VANTREL_CPU_PASS=avx512"}), 0, "using "});
    for (const CLimitCase& c : cases) {
        CScratchFolder folder;
        const std::filesystem::path image = folder.path() / "picture.png";
        std::ofstream(image) << "an older picture";
        std::vector<std::string> args = {"--frames", "1", "--seed", "3", "--quiet", "--backend", "cpu",
                                         "--output", image.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CChild child(kProgram, args, folder.path(), c.setup);
        EXPECT_EQ(child.wait(), c.status) << c.what << ": " << child.err();
        const std::string err = child.err();
        EXPECT_EQ(line_count(err), c.status == 0 ? 2u : 1u) << c.what << ": " << err;
        EXPECT_NE(err.substr(0, err.find('\n')).find(c.said), std::string::npos) << c.what << ": " << err;
        EXPECT_FALSE(folder.has_temporary()) << c.what;
        CImage picture;
        EXPECT_EQ(test_support::read_png(image, picture), c.status == 0) << c.what;
        if (c.status != 0) {
            EXPECT_EQ(test_support::read_text(image), "an older picture") << c.what;
        }
    }
}

// A checkpoint that cannot be written costs the render nothing: one warning,
// the previous checkpoint kept whole, the picture written, and the summary
// names what the file still holds.
TEST(RenderEnvironment, ACheckpointThatFailsLeavesTheLastOneAndTheRenderGoesOn)
{
    struct CFailingCase {
        const char* what;
        rlim_t file_size_limit;  // RLIM_INFINITY for none
        bool remove_folder;      // the checkpoint's folder is removed while rendering
        bool resumed;            // from the checkpoint an earlier run left, or that file only in the way
        const char* warned;
        const char* summary;
        int status;
    };
    const CFailingCase cases[] = {
        {"a file-size limit", 2000000, false, true, "not written: File too large; it still holds 2 frames",
         "checkpoint CKPT still holds 2 frames (the last write failed)", 0},
        {"an earlier render's checkpoint", 2000000, false, false,
         "not written: File too large; it still holds the 2 frames of an earlier checkpoint",
         "no checkpoint written to CKPT (it still holds the 2 frames of an earlier checkpoint)", 0},
        {"its folder removed", RLIM_INFINITY, true, false, "not written: No such file or directory; none is kept",
         "no checkpoint written to CKPT", 128 + SIGTERM},
    };
    for (const CFailingCase& c : cases) {
        SCOPED_TRACE(c.what);
        CScratchFolder folder, saves;
        const std::filesystem::path checkpoint = saves.path() / "render.ckpt";
        const std::filesystem::path image = folder.path() / "picture.png";
        std::vector<std::string> args = {"--seed", "4", "--threads", "2", "--output", image.string()};
        std::string before;
        if (c.remove_folder) {
            args.insert(args.end(), {"--frames", "1000000", "--checkpoint", checkpoint.string()});
        } else {
            CChild first(kProgram, {"--frames", "2", "--seed", "4", "--quiet", "--checkpoint", checkpoint.string(),
                                    "--output", (folder.path() / "first.png").string()},
                         folder.path());
            ASSERT_EQ(first.wait(), 0) << first.err();
            before = test_support::read_text(checkpoint);
            args.insert(args.end(), {"--quiet", "--frames", c.resumed ? "300" : "3",
                                     c.resumed ? "--resume" : "--checkpoint", checkpoint.string(),
                                     "--checkpoint-every", "1"});
        }
        CChild child(kProgram, args, folder.path(), CChildSetup::with_limit(RLIMIT_FSIZE, c.file_size_limit));
        if (c.remove_folder) {
            ASSERT_TRUE(child.wait_for_stderr(" frames, ", std::chrono::seconds(120))) << child.err();
            std::filesystem::remove_all(saves.path());
            child.signal(SIGTERM);
        }
        EXPECT_EQ(child.wait(), c.status) << child.err();
        const std::string err = child.err();
        const size_t warned = err.find(c.warned);
        EXPECT_NE(warned, std::string::npos) << err;
        EXPECT_EQ(err.find("not written", warned + 1), std::string::npos) << "warned twice: " << err;
        std::string summary = c.summary;
        summary.replace(summary.find("CKPT"), 4, checkpoint.string());
        EXPECT_NE(err.find("wrote " + image.string() + ", " + summary + "\n"), std::string::npos) << err;
        CImage picture;
        EXPECT_TRUE(test_support::read_png(image, picture));
        EXPECT_TRUE(test_support::read_text(checkpoint) == before);
        if (!c.remove_folder) {
            EXPECT_FALSE(saves.has_temporary());
        }
    }
}

// Less and less address space, one thread (so no thread stacks): each run either
// renders or fails with status 1, the old file kept. Between the smallest limit
// that renders and one where start-up fails, memory runs out mid-run: one line.
TEST(RenderEnvironment, RunningOutOfMemoryEndsWithOneLine)
{
    int ran_out = 0;
    // The status of a run under `kib` KiB of address space, its stderr in `err`.
    auto run = [&](rlim_t kib, std::string& err) {
        CScratchFolder folder;
        const std::filesystem::path image = folder.path() / "picture.png";
        std::ofstream(image) << "an older picture";
        CChild child(kProgram,
                     {"--frames", "2", "--seed", "3", "--threads", "1", "--backend", "cpu", "--quiet", "--output",
                      image.string()},
                     folder.path(), CChildSetup::with_limit(RLIMIT_AS, kib * 1024));
        const int status = child.wait();
        err = child.err();
        EXPECT_TRUE(status == 0 || status == 1) << kib << " KiB: status " << status << ": " << err;
        EXPECT_FALSE(folder.has_temporary()) << kib << " KiB";
        if (status != 0) {
            EXPECT_EQ(test_support::read_text(image), "an older picture") << kib << " KiB";
        }
        if (status == 1 && err.find("start-up failed") == std::string::npos) {
            EXPECT_EQ(line_count(err), 1u) << kib << " KiB: " << err;
            EXPECT_NE(child.out().find("Deinitializing CUDA engine"), std::string::npos) << kib << " KiB";
            ran_out += err.find("out of memory") != std::string::npos;
        }
        return status;
    };
    std::string err;
    rlim_t fails = 8 * 1024, renders = 1024 * 1024;
    ASSERT_EQ(run(renders, err), 0) << err;
    while (renders - fails > 1024) {
        const rlim_t middle = (fails + renders) / 2;
        (run(middle, err) == 0 ? renders : fails) = middle;
    }
    // Down from there to where start-up itself fails: the runs that fail in
    // between ran out while rendering or writing (the bounds shift a little
    // from run to run, so a success on the way does not end the search).
    for (rlim_t kib = renders - 256; kib > 8 * 1024; kib -= 256)
        if (run(kib, err) != 0 && err.find("start-up failed") != std::string::npos)
            break;
    // Start-up says which step it could not take.
    EXPECT_NE(err.find("start-up failed: "), std::string::npos) << err;
    EXPECT_GT(ran_out, 0);
}
}  // namespace
