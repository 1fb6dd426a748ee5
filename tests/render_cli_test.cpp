// SPDX-License-Identifier: Apache-2.0
// vantrel-render's command line as a user meets it: bad input is refused
// before any rendering, and a signal stops a run with the picture so far.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
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
    CScratchFolder folder, elsewhere;
    const std::string image = (folder.path() / "out.png").string();
    std::ofstream(elsewhere.path() / "plain") << "a file, not a folder";
    // An image that is a link to the checkpoint, and the checkpoint's folder by another name.
    const std::string checkpoint = (elsewhere.path() / "x.ckpt").string();
    std::filesystem::create_symlink(checkpoint, elsewhere.path() / "l.png");
    std::filesystem::create_directory(elsewhere.path() / "sub");
    std::filesystem::create_directory_symlink(elsewhere.path() / "sub", elsewhere.path() / "again");
    const std::vector<CBadInput> cases = {
        {{"--bogus"}, "'--bogus' (see vantrel-render --help)"},
        {{"stray"}, "'stray' (see vantrel-render --help)"},
        {{"stray\x1b[2J"}, "stray\\x1b[2J"},
        {{"one", "two"}, "'one' 'two' (see vantrel-render --help)"},
        {{"--frames"}, "--frames"},
        {{"--frames", "--output", image}, "--frames needs a value"},
        {{"--output", image, "--seed"}, "--seed needs a value"},
        {{"--seed", "1\n2"}, "'1\\n2'"},
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
        {{"--output", (folder.path() / "new\nline.jpg").string()}, "new\\nline.jpg"},
        {{"--output", (folder.path() / "c1\xc2\x9b.jpg").string()}, "c1\\xc2\\x9b.jpg"},
        {{"--output", (folder.path() / "raw\x9b[2J\xff.jpg").string()}, "raw\\x9b[2J\\xff.jpg"},
        {{"--output", (folder.path() / "d\xc3\xa9j\xc3\xa0 \xe2\x82\xac.jpg").string()},
         "d\xc3\xa9j\xc3\xa0 \xe2\x82\xac.jpg'"},
        {{"--output", (folder.path() / "cut\xe2\x82.jpg").string()}, "cut\\xe2\\x82.jpg"},
        {{"--output", "/proc/x.png"}, "folder '/proc' does not take new files"},
        {{"--output", (elsewhere.path() / "plain" / "x.png").string()}, "plain' is not a folder"},
        {{"--output", (elsewhere.path() / "plain" / "sub" / "x.png").string()}, "sub' is not a folder"},
        {{"--output", folder.path().string() + "/"}, "--output"},
        {{"--serve", "web"}, "--serve"},
        {{"--serve", "65536"}, "--serve"},
        {{"--serve", "::1:8080"}, "--serve"},
        {{"--serve", ":8080"}, "--serve"},
        {{"--serve", "[::1]8080"}, "--serve"},
        {{"--serve", "256.0.0.1:0"}, "'256.0.0.1' is not an address"},
        {{"--serve-fps", "5"}, "--serve"},
        {{"--serve", "0", "--serve-fps", "0"}, "--serve-fps"},
        {{"--serve", "0", "--serve-fps", "61"}, "--serve-fps"},
        {{"--checkpoint", (folder.path() / "c.ckpt").string(), "--checkpoint-every", "0"}, "--checkpoint-every"},
        {{"--checkpoint", (folder.path() / "c.ckpt").string(), "--checkpoint-every", "86401"},
         "--checkpoint-every"},
        {{"--checkpoint-every", "60"}, "--checkpoint-every needs --checkpoint or --resume"},
        {{"--checkpoint", (folder.path() / "missing" / "c.ckpt").string()}, "missing"},
        {{"--checkpoint", image}, "is the --output file"},
        {{"--checkpoint", checkpoint, "--output", (elsewhere.path() / "l.png").string()}, "is the --output file"},
        {{"--checkpoint", (elsewhere.path() / "sub" / "c.png").string(), "--output",
          (elsewhere.path() / "again" / "c.png").string()},
         "is the --output file"},
        {{"--resume", ""}, "--resume is given an empty value"},
        {{"--checkpoint", ""}, "--checkpoint is given an empty value"},
        {{"--output="}, "--output is given an empty value"},
        {{"--checkpoint=", "--quiet"}, "--checkpoint is given an empty value"},
        {{"--resume=", "--frames", "2"}, "--resume is given an empty value"},
        {{"--stress", "0"}, "--stress must be a whole number of seconds"},
        {{"--stress", "-1"}, "--stress must be a whole number of seconds"},
        {{"--stress", "2592001"}, "--stress must be a whole number of seconds"},
        {{"--stress"}, "--stress needs a value"},
        {{"--benchmark", "fast"}, "--benchmark takes no value or 'all', not 'fast'"},
        {{"--benchmark", "--frames", "5"}, "--frames, --seed and --output do not go with it"},
        {{"--stress", "5", "--resume", (folder.path() / "c.ckpt").string()}, "--resume do not go with it"},
        {{"--benchmark", "all", "--serve", "0"}, "--serve do not go with it"},
        {{"--benchmark", "--stress", "5"}, "ask for one"},
        {{"--json", "-"}, "--json needs --benchmark or --stress"},
        {{"--benchmark", "--json", (folder.path() / "missing" / "b.json").string()}, "missing"},
        {{"--stress", "1", "--json", folder.path().string() + "/b.json/"}, "ends in '/'"},
        {{"--stress", "1", "--json", "/proc/self/fd/9"}, "descriptor 9 is not open"},
        {{"--checkpoint", (folder.path() / "fresh").string() + "/"}, "ends in '/'"},
        {{"--checkpoint", (elsewhere.path() / "sub" / "c.ckpt").string() + "/."}, "ends in '/.'"},
        {{"--checkpoint", "/dev/stdout"}, "names open descriptor 1"},
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
    EXPECT_FALSE(std::filesystem::exists(checkpoint));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path() / "sub"));
}

// The documented header fields of a checkpoint, set and the checksum made good again.
std::string with_field(std::string bytes, size_t offset, uint32_t value)
{
    for (size_t k = 0; k < 4; ++k)
        bytes[offset + k] = static_cast<char>(value >> (8 * k));
    const uint32_t crc = static_cast<uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size() - 4));
    for (size_t k = 0; k < 4; ++k)
        bytes[bytes.size() - 4 + k] = static_cast<char>(crc >> (8 * k));
    return bytes;
}

// A checkpoint that is not whole, intact, of this version and size is
// refused before anything starts: one line naming the file and the fault,
// no image, an existing image untouched, the file itself unchanged.
TEST(RenderCli, ABadCheckpointIsRefusedBeforeRendering)
{
    CScratchFolder folder;
    const std::filesystem::path good = folder.path() / "good.ckpt";
    const std::filesystem::path first_image = folder.path() / "first.png";
    CChild first(kProgram, {"--frames", "1", "--seed", "2", "--quiet", "--backend", "cpu", "--checkpoint",
                            good.string(), "--output", first_image.string()},
                 folder.path());
    ASSERT_EQ(first.wait(), 0) << first.err();
    const std::string bytes = test_support::read_text(good);
    ASSERT_EQ(bytes.size(), 7065636u);
    std::string changed = bytes;
    changed[bytes.size() / 2] ^= 0x10;
    // Where each pixel's fields lie, and a pixel the one frame left unsampled.
    constexpr size_t kPixels = 640 * 480;
    const auto sum = [](size_t p) { return 32 + 12 * p; };
    const auto count = [](size_t p) { return 32 + 12 * kPixels + 4 * p; };
    const auto state = [](size_t p) { return 32 + 16 * kPixels + 4 * p; };
    size_t dark = 0;
    while (bytes.compare(count(dark), 4, std::string(4, '\0')) != 0)
        ++dark;
    const std::string many_frames = with_field(with_field(bytes, 24, 300000), 28, 300000);

    struct CBadFile {
        const char* what;
        std::string contents;  // the file's bytes, unless it is made otherwise
        std::string said;
        std::vector<std::string> more = {};  // further options
    };
    const std::vector<CBadFile> cases = {
        {"truncated", bytes.substr(0, bytes.size() - 1000), "is truncated (7064636 bytes, a checkpoint has 7065636)"},
        {"a byte changed", changed, "is corrupted"},
        {"another version", with_field(bytes, 8, 2), "format version 2; this vantrel-render reads version 1"},
        {"another size", with_field(bytes, 12, 320), "holds a 320 x 480 image"},
        {"not a checkpoint", test_support::read_text(first_image), "is not a Vantrel checkpoint"},
        {"empty", "", "is empty"},
        {"a folder", "", "is a folder"},
        {"unreadable", bytes, "cannot be read"},
        {"missing", "", "cannot be read: No such file or directory"},
        {"another seed asked for", bytes, "--seed 3 disagrees with seed 2", {"--seed", "3"}},
        // Intact, but no render could have saved it.
        {"a sum that is not a number", with_field(bytes, sum(7), 0x7fc00000), "impossible sum at pixel 7 (nan"},
        {"an infinite sum", with_field(bytes, sum(7) + 4, 0x7f800000), "impossible sum at pixel 7 (inf"},
        {"a negative sum", with_field(bytes, sum(7) + 8, 0xbf800000), "impossible sum at pixel 7 (-1"},
        {"a sum above its count", with_field(bytes, sum(7), 0x40000000), "impossible sum at pixel 7 (2 for"},
        {"a count above the frames", with_field(bytes, count(dark), 2), "impossible sample count"},
        {"a count above the cap", with_field(many_frames, count(dark), 262145), "(262145; at most 262144"},
        {"the largest count", with_field(many_frames, count(dark), 0xffffffff), "(4294967295; at most 262144"},
        {"a state the generator never holds", with_field(bytes, state(9), 4294967294u),
         "impossible random state at pixel 9 (4294967294"},
        {"the largest state", with_field(bytes, state(9), 0xffffffff), "impossible random state at pixel 9"},
        {"more frames done than asked for", with_field(bytes, 24, 2), "frames done is above frames asked for"},
        {"no frames done or asked for", with_field(with_field(bytes, 24, 0), 28, 0), "frames done is 0"},
        {"display bytes its sums do not give", with_field(bytes, 32 + 20 * kPixels + 3 * dark, 0x00ffffff),
         "display bytes that its sums and counts do not give at pixel " + std::to_string(dark)},
    };
    for (const CBadFile& bad : cases) {
        SCOPED_TRACE(bad.what);
        CScratchFolder run;
        const std::filesystem::path file = run.path() / "bad.ckpt";
        const std::filesystem::path image = run.path() / "picture.png";
        std::ofstream(image) << "an older picture";
        if (bad.what == std::string("a folder")) {
            std::filesystem::create_directory(file);
        } else if (bad.what != std::string("missing")) {
            std::ofstream(file, std::ios::binary) << bad.contents;
        }
        if (bad.what == std::string("unreadable")) {
            std::filesystem::permissions(file, std::filesystem::perms::none);
            // Permissions do not bind root: a link that loops cannot be opened by anyone.
            if (access(file.c_str(), R_OK) == 0) {
                std::filesystem::remove(file);
                std::filesystem::create_symlink(file, file);
            }
        }
        std::vector<std::string> args = {"--resume", file.string(), "--frames", "3", "--output", image.string()};
        args.insert(args.end(), bad.more.begin(), bad.more.end());
        CChild child(kProgram, args, run.path());
        EXPECT_EQ(child.wait(), 2);
        EXPECT_EQ(child.out(), "");
        const std::string err = child.err();
        EXPECT_EQ(line_count(err), 1u) << err;
        EXPECT_NE(err.find(file.string()), std::string::npos) << err;
        EXPECT_NE(err.find(bad.said), std::string::npos) << err;
        EXPECT_EQ(test_support::read_text(image), "an older picture");
        EXPECT_EQ(run.images().size(), bad.what == std::string("missing") ? 1u : 2u);
        if (!bad.contents.empty() && bad.what != std::string("unreadable")) {
            EXPECT_TRUE(test_support::read_text(file) == bad.contents);
        }
    }
}

// Earlier versions left a random state of 0 at 0 for good, and their
// checkpoints hold such states: they resume, and those pixels move on.
TEST(RenderCli, ACheckpointWithStatesOfZeroResumesAndTheyMoveOn)
{
    CScratchFolder folder;
    const std::filesystem::path file = folder.path() / "old.ckpt";
    CChild first(kProgram, {"--frames", "1", "--seed", "2", "--quiet", "--backend", "cpu", "--checkpoint",
                            file.string(), "--output", (folder.path() / "first.png").string()},
                 folder.path());
    ASSERT_EQ(first.wait(), 0) << first.err();
    // The middle row looks at the back wall: every pixel there scatters.
    constexpr size_t kPixels = 640 * 480, kRow = 240 * 640;
    const auto state = [](size_t p) { return 32 + 16 * kPixels + 4 * p; };
    std::string bytes = test_support::read_text(file);
    for (size_t p = kRow; p < kRow + 640; ++p)
        bytes = with_field(bytes, state(p), 0u);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    CChild resumed(kProgram, {"--resume", file.string(), "--frames", "2", "--quiet", "--backend", "cpu", "--output",
                              (folder.path() / "second.png").string()},
                   folder.path());
    ASSERT_EQ(resumed.wait(), 0) << resumed.err();
    const std::string after = test_support::read_text(file);
    ASSERT_EQ(after.size(), bytes.size());
    for (size_t p = kRow; p < kRow + 640; ++p)
        EXPECT_NE(after.compare(state(p), 4, std::string(4, '\0')), 0) << "pixel " << p << " still at 0";
}

// Without CUDA in the build, or (as on our machines) without a usable device.
TEST(RenderCli, CudaWithoutAUsableDeviceIsBadInput)
{
    if (probe_cuda_devices().device_count > 0)
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
    if (access(locked.c_str(), W_OK) == 0)
        GTEST_SKIP() << "permissions do not bind root";
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
                               "--serve", "--serve-fps", "--checkpoint", "--checkpoint-every", "--resume",
                               "--benchmark", "--stress", "--json"})
        EXPECT_NE(help.out().find(option), std::string::npos) << option;
    CChild version(kProgram, {"--version"}, folder.path());
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.out().rfind("vantrel-render ", 0), 0u) << version.out();
    // On a full device, a closed pipe or under a file-size limit they fail
    // with status 1 (a bad option with 2), never by a signal.
    using test_support::CChildSetup;
    for (const char* flag : {"--help", "--version", "--bogus"}) {
        for (const CChildSetup& setup : {CChildSetup::with_output(CChildSetup::full_stdout),
                                         CChildSetup::with_output(CChildSetup::closed_pipe),
                                         CChildSetup::with_limit(RLIMIT_FSIZE, 0)}) {
            CChild failing(kProgram, {flag}, folder.path(), setup);
            EXPECT_EQ(failing.wait(), flag == std::string("--bogus") ? 2 : 1) << flag;
        }
    }
    CChild full(kProgram, {"--help"}, folder.path(), CChildSetup::with_output(CChildSetup::full_stdout));
    full.wait();
    EXPECT_NE(full.err().find("No space left on device"), std::string::npos) << full.err();
}

// A control character in the name of a file that is written is escaped too.
TEST(RenderCli, TheSummaryStaysOneLineWhateverTheFileName)
{
    CScratchFolder folder;
    const std::string name = "new\nline\tand\x7f.png";
    CChild child(kProgram,
                 {"--frames", "1", "--seed", "1", "--quiet", "--backend", "cpu", "--output",
                  (folder.path() / name).string()},
                 folder.path());
    ASSERT_EQ(child.wait(), 0) << child.err();
    EXPECT_EQ(line_count(child.err()), 1u) << child.err();
    EXPECT_NE(child.err().find("new\\nline\\tand\\x7f.png"), std::string::npos) << child.err();
    EXPECT_EQ(folder.images(), std::vector<std::string>{name});
}

// Waits (up to a minute) for the program to open the file its image goes to
// and stops it there; true when the file is still open, so the program is
// stopped in the middle of writing.
bool pause_while_writing(CChild& child, const CScratchFolder& folder)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until && !child.ended()) {
        if (child.writing_in(folder.path())) {
            child.pause();
            if (child.writing_in(folder.path()))
                return true;
            child.resume();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

// When each signal is sent.
enum class CWhen {
    start,        // before the program is ready (pending when it starts)
    render,       // once frames are done
    burst,        // once frames are done, all at once (a closed terminal sends SIGHUP twice)
    write,        // the first once frames are done, the last while the image is written
    late_write,   // the same, the last a second or more after the first: another request
    last_frame,   // while the complete image is written
};

struct CSignalCase {
    const char* name;
    uint32_t frames;
    CWhen when;
    std::vector<int> signals;
    int status;
    bool replaced;       // the old file was replaced by the picture
    const char* said;    // on stderr
    const char* unsaid;  // not on stderr
};

void PrintTo(const CSignalCase& c, std::ostream* out) { *out << c.name; }

// A signal ends the run after the frame in progress and the picture so far is
// written; before the first frame nothing is. The image file is never left half
// written, an old one is replaced whole or not at all, and no temporary file
// stays behind, whenever a signal comes.
class RenderSignal : public testing::TestWithParam<CSignalCase> {};

TEST_P(RenderSignal, LeavesACompletePictureOrTheOldFileAndNoTemporary)
{
    const CSignalCase& c = GetParam();
    // A write cut short by the signal that should land in it is tried again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        CScratchFolder folder;
        const std::filesystem::path image = folder.path() / "picture.png";
        std::ofstream(image) << "an older picture";
        test_support::CChildSetup setup;
        setup.limits = {{RLIMIT_CORE, 0}};
        setup.pending_signal = c.when == CWhen::start ? c.signals[0] : 0;
        CChild child(kProgram,
                     {"--frames", std::to_string(c.frames), "--seed", "5", "--threads", "2", "--output",
                      image.string()},
                     folder.path(), setup);
        bool in_write = true;
        if (c.when != CWhen::start) {
            ASSERT_TRUE(child.wait_for_stdout("Initializing CUDA engine\n", std::chrono::seconds(60))) << child.err();
            if (c.when != CWhen::last_frame) {
                // The plain progress line comes after about two seconds of frames.
                ASSERT_TRUE(child.wait_for_stderr(" frames, ", std::chrono::seconds(120))) << child.err();
                for (size_t k = 0; k < (c.when == CWhen::burst ? c.signals.size() : 1u); ++k)
                    child.signal(c.signals[k]);
            }
            if (c.when == CWhen::write || c.when == CWhen::late_write || c.when == CWhen::last_frame) {
                in_write = pause_while_writing(child, folder);
                if (c.when == CWhen::late_write)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
                child.signal(c.signals.back());
                child.resume();
            }
        }
        EXPECT_EQ(child.wait(std::chrono::seconds(300)), c.status) << child.err();
        EXPECT_FALSE(folder.has_temporary()) << child.err();
        if (c.replaced) {
            CImage picture;
            EXPECT_TRUE(test_support::read_png(image, picture)) << child.err();
            EXPECT_EQ(picture.width, 640u);
            EXPECT_EQ(picture.height, 480u);
        } else {
            EXPECT_EQ(test_support::read_text(image), "an older picture");
        }
        EXPECT_NE(child.err().find(c.said), std::string::npos) << child.err();
        if (c.unsaid != nullptr) {
            EXPECT_EQ(child.err().find(c.unsaid), std::string::npos) << child.err();
        }
        if (in_write || testing::Test::HasFailure())
            return;
    }
    ADD_FAILURE() << "the signal never arrived while the image was written";
}

INSTANTIATE_TEST_SUITE_P(
    Signals, RenderSignal,
    testing::Values(
        CSignalCase{"SIGTERMAtStart", 1000, CWhen::start, {SIGTERM}, 143, false,
                    "stopped by SIGTERM before the first frame was done; no image written", nullptr},
        CSignalCase{"SIGHUPAtStart", 1000, CWhen::start, {SIGHUP}, 129, false, "stopped by SIGHUP before", nullptr},
        CSignalCase{"SIGINT", 1000000, CWhen::render, {SIGINT}, 130, true, "stopped by SIGINT after", nullptr},
        CSignalCase{"SIGTERM", 1000000, CWhen::render, {SIGTERM}, 143, true, "stopped by SIGTERM after", nullptr},
        CSignalCase{"SIGHUP", 1000000, CWhen::render, {SIGHUP}, 129, true, "stopped by SIGHUP after", nullptr},
        // Stop signals that come together are one request: the picture and the summary stay.
        CSignalCase{"BurstOfSIGHUP", 1000000, CWhen::burst, {SIGHUP, SIGHUP, SIGTERM}, 129, true,
                    "stopped by SIGHUP after", nullptr},
        // A second one in the write waits until the picture is in place (it is the
        // same request, or, a second or more after the first, ends the program then).
        CSignalCase{"SecondSIGINTWhileWriting", 1000000, CWhen::write, {SIGINT, SIGINT}, 130, true, "", nullptr},
        CSignalCase{"SIGHUPWhileWriting", 1000000, CWhen::write, {SIGHUP, SIGHUP}, 129, true, "", nullptr},
        // One that is another request ends the program once the picture is in place, saying so.
        CSignalCase{"LaterSIGHUPWhileWriting", 1000000, CWhen::late_write, {SIGTERM, SIGHUP}, 129, true,
                    "picture.png; ended by a second SIGHUP\n", nullptr},
        // Other signals that end a process wait until the picture is in place.
        CSignalCase{"SIGQUITWhileWriting", 1000000, CWhen::write, {SIGTERM, SIGQUIT}, 131, true, "", nullptr},
        CSignalCase{"SIGUSR1WhileWriting", 1000000, CWhen::write, {SIGTERM, SIGUSR1}, 138, true, "", nullptr},
        CSignalCase{"SIGALRMWhileWriting", 1000000, CWhen::write, {SIGTERM, SIGALRM}, 142, true, "", nullptr},
        CSignalCase{"SIGTERMAfterTheLastFrame", 3, CWhen::last_frame, {SIGTERM}, 0, true, "3 frames in",
                    "stopped"}),
    [](const testing::TestParamInfo<CSignalCase>& info) { return std::string(info.param.name); });

// Output to a pipe nobody reads fails quietly; the picture is still written.
TEST(RenderCli, AClosedPipeForOutputDoesNotStopTheRender)
{
    CScratchFolder folder;
    const std::filesystem::path image = folder.path() / "piped.png";
    CChild child(kProgram, {"--frames", "2", "--output", image.string()}, folder.path(),
                 test_support::CChildSetup::with_output(test_support::CChildSetup::closed_pipe));
    EXPECT_EQ(child.wait(), 0);
    CImage picture;
    EXPECT_TRUE(test_support::read_png(image, picture));
}
}  // namespace
