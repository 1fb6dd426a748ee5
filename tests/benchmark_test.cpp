// SPDX-License-Identifier: Apache-2.0
// vantrel-render's --benchmark and --stress in process: the known answer, a
// picture that differs by one byte reported as such, the figures and reports
// where their names lead, and a failed report never a success.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/image_size.h"
#include "engine/cpu/cpu_pass.h"
#include "engine/cpu_passes.h"
#include "render/benchmark/benchmark.h"
#include "render/benchmark/stress.h"
#include "render/files/image_writer.h"
#include "tests/engine_run.h"
#include "tests/run_program.h"

using test_support::CChild;
using test_support::CChildSetup;
using test_support::CImage;
using test_support::CScratchFolder;

namespace {
const std::string kProgram = VANTREL_RENDER_PATH;

// The known answer is the picture in docs/, and its digest is what
// sha256sum says of that picture written as a PPM file.
TEST(Benchmark, TheKnownAnswerIsTheDocsPictureAndItsPpmDigest)
{
    CImage docs;
    ASSERT_TRUE(test_support::read_png(std::string(VANTREL_SOURCE_DIR) + "/docs/vantrel.png", docs));
    ASSERT_EQ(docs.rgb.size(), size_t{kPixelCount} * 3);
    std::vector<uint8_t> bottom_up(docs.rgb.size());
    for (uint32_t row = 0; row < kImageHeight; ++row)
        std::copy_n(docs.at(kImageHeight - 1 - row, 0), kImageWidth * 3, &bottom_up[size_t{row} * kImageWidth * 3]);
    EXPECT_EQ(picture_digest(bottom_up.data(), kImageWidth, kImageHeight), kStandardDigest);
    std::vector<uint8_t> carried;
    std::string error;
    ASSERT_TRUE(standard_known_answer().picture(carried, error)) << error;
    EXPECT_TRUE(carried == bottom_up);

    CScratchFolder folder;
    const std::string ppm = (folder.path() / "box.ppm").string();
    ASSERT_TRUE(write_image(ppm, CImageFormat::ppm, bottom_up.data(), kImageWidth, kImageHeight, error)) << error;
    FILE* sum = popen(("sha256sum " + ppm).c_str(), "r");
    ASSERT_NE(sum, nullptr);
    char line[65] = {};
    ASSERT_EQ(std::fread(line, 1, 64, sum), 64u);
    pclose(sum);
    EXPECT_STREQ(line, kStandardDigest);
}

// A short known answer for quick runs: the CPU's picture after `frames` frames of seed 1.
CKnownAnswer short_known_answer(int frames)
{
    const test_support::CEngineRun reference = test_support::run_engine(CBackendChoice::cpu, kStandardSeed, frames);
    EXPECT_EQ(reference.frames_done, frames);
    CKnownAnswer known;
    known.frames = static_cast<uint32_t>(frames);
    known.digest = picture_digest(reference.pixels.data(), kImageWidth, kImageHeight);
    known.picture = [pixels = reference.pixels](std::vector<uint8_t>& picture, std::string&) {
        picture = pixels;
        return true;
    };
    return known;
}

// What benchmark_main or stress_main printed and wrote, and its exit status.
struct CModeResult {
    int status = -1;
    std::string report, err;
    nlohmann::json json;
};

template <typename Main>
CModeResult run_mode(CBenchmarkRequest request, const std::filesystem::path& folder, Main&& main)
{
    CModeResult result;
    request.engine.backend = CBackendChoice::cpu;
    request.quiet = true;
    request.choice.json = (folder / "figures.json").string();
    FILE* text = std::tmpfile();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.status = main(request, CReportStreams{text, nullptr});  // --json names a file
    result.err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    std::rewind(text);
    for (int c; (c = std::fgetc(text)) != EOF;)
        result.report += static_cast<char>(c);
    std::fclose(text);
    result.json = nlohmann::json::parse(test_support::read_text(request.choice.json), nullptr, false);
    return result;
}

struct CFlipCase {
    const char* name;
    CBenchmarkMode mode;
    bool flip;  // one byte of the checked picture changed
    int status;
    const char* said;  // in the report
};

// The verdict follows the bytes: the picture as rendered is verified on every
// pass and thread count, one changed byte is not (exit 1, the frame and the
// pixel named), and the JSON document says the same.
TEST(Benchmark, OneChangedByteIsNotVerifiedAndTheJsonSaysSo)
{
    const CKnownAnswer known = short_known_answer(2);
    const std::vector<const char*> passes = supported_cpu_pass_names();
    for (const CFlipCase& c : {CFlipCase{"rendered", CBenchmarkMode::chosen_pass, false, 0, "verified: frame 2 is"},
                               CFlipCase{"one byte changed", CBenchmarkMode::chosen_pass, true, 1,
                                         "DIFFERS at frame 2: 1 of 307200 pixels differs"},
                               CFlipCase{"all passes", CBenchmarkMode::all_passes, false, 0, "speed-up"},
                               CFlipCase{"all passes, changed", CBenchmarkMode::all_passes, true, 1, "NO"}}) {
        SCOPED_TRACE(c.name);
        CScratchFolder folder;
        CBenchmarkPlan plan;
        plan.known = known;
        plan.least_seconds = 0.0;
        if (c.flip)
            plan.before_check = [](uint8_t* pixels) { pixels[1000] ^= 0x40; };
        CBenchmarkRequest request;
        request.choice.mode = c.mode;
        request.engine.cpu_threads = 2;
        const CModeResult result = run_mode(request, folder.path(), [&](const CBenchmarkRequest& o, CReportStreams s) {
            return benchmark_main(o, plan, s);
        });
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.report.find(c.said), std::string::npos) << result.report;
        ASSERT_TRUE(result.json.is_object()) << test_support::read_text(folder.path() / "figures.json");
        EXPECT_EQ(result.json["verified"], !c.flip);
        EXPECT_EQ(result.json["version"].get<std::string>().empty(), false);
        EXPECT_NE(result.json["processor"].get<std::string>(), "");
        const nlohmann::json runs = c.mode == CBenchmarkMode::all_passes ? result.json["runs"]
                                                                        : nlohmann::json::array({result.json});
        ASSERT_EQ(runs.size(), c.mode == CBenchmarkMode::all_passes ? 2 * passes.size() : 1u);
        for (size_t i = 0; i < runs.size(); ++i) {
            const nlohmann::json& run = runs[i];
            EXPECT_EQ(run["backend"], "CPU");
            if (c.mode == CBenchmarkMode::all_passes) {
                EXPECT_EQ(run["pass"], passes[i / 2]);
                EXPECT_EQ(run["threads"], i % 2 == 0 ? 1 : 2);
                if (i < 2) {
                    EXPECT_EQ(run["speedup"], 1.0);
                }
            }
            // The timed frames: the untimed first one is not in the rate.
            EXPECT_DOUBLE_EQ(run["frames"].get<double>() / run["seconds"].get<double>(),
                             run["frames_per_second"].get<double>());
            EXPECT_GT(run["frames_per_second"].get<double>(), 0.0);
            EXPECT_GT(run["rays_per_second"].get<double>(), 0.0);
            EXPECT_EQ(run["check_frame"], 2);
            EXPECT_EQ(run["verified"], !c.flip);
            EXPECT_EQ(run["digest"] == known.digest, !c.flip);
            if (c.flip) {
                EXPECT_EQ(run["differing_pixels"], 1);
            }
        }
    }
}

// Every cycle starts again from start-up's state and is checked: a byte
// changed in one of them is reported by number (exit 1), the others match.
TEST(Stress, AMismatchInOneCycleIsReportedAndExitsOne)
{
    CStressPlan plan;
    plan.known = short_known_answer(2);
    plan.seconds = 600;
    plan.most_cycles = 3;
    for (const uint32_t flipped : {0u, 2u}) {
        SCOPED_TRACE(flipped);
        CScratchFolder folder;
        plan.before_check = [flipped](uint8_t* pixels, uint32_t cycle) {
            if (cycle == flipped)
                pixels[3 * 5000 + 2] ^= 1;
        };
        CBenchmarkRequest request;
        request.choice.stress_seconds = plan.seconds;
        const CModeResult result = run_mode(request, folder.path(), [&](const CBenchmarkRequest& o, CReportStreams s) {
            return stress_main(o, plan, s);
        });
        EXPECT_EQ(result.status, flipped ? 1 : 0) << result.err;
        EXPECT_NE(result.report.find(flipped ? "1 of 3 cycles differed" : "0 of 3 cycles differed"),
                  std::string::npos)
            << result.report;
        if (flipped) {
            EXPECT_NE(result.report.find("cycle 2: 1 of 307200 pixels differ"), std::string::npos) << result.report;
        }
        ASSERT_TRUE(result.json.is_object());
        EXPECT_EQ(result.json["cycles"], 3);
        EXPECT_EQ(result.json["mismatched_cycles"], flipped ? 1 : 0);
        EXPECT_EQ(result.json["verified"], !flipped);
    }
}

// The figures land where --json's name leads: through a link into the file it
// names, into the stream a descriptor's name stands for (never replacing the
// name itself); a report that cannot be written is a failure.
TEST(Stress, TheFiguresGoWhereTheNameLeadsAndAFailedReportFails)
{
    struct CTargetCase {
        const char* what;
        std::string json;      // --json's value, "" for none
        std::string lands;     // the file that must hold the document, "" for none
        CChildSetup setup;
        int status;
        const char* said = "";  // on stderr
    };
    for (const CTargetCase& c :
         {CTargetCase{"a link to a file", "link.json", "sub/real.json", {}, 0},
          CTargetCase{"a link to /dev/stdout", "out.json", "stdout.txt", {}, 0},
          CTargetCase{"standard input, open for writing too", "/dev/stdin", "in.json",
                      CChildSetup::with_input("in.json"), 0},
          CTargetCase{"a full standard output", "", "", CChildSetup::with_output(CChildSetup::full_stdout), 1,
                      "cannot write the report: No space left on device"},
          // Closed, not /dev/null: refused before the run, never a success with the figures lost.
          CTargetCase{"a closed standard output", "", "", CChildSetup::with_output(CChildSetup::closed_stdout), 1,
                      "cannot write the report: standard output is closed"},
          CTargetCase{"- on a closed standard output", "-", "", CChildSetup::with_output(CChildSetup::closed_stdout),
                      2, "--json '-': descriptor 1 is not open"},
          CTargetCase{"/dev/stdout closed", "/dev/stdout", "", CChildSetup::with_output(CChildSetup::closed_stdout),
                      2, "descriptor 1 is not open"}}) {
        CScratchFolder folder;
        std::filesystem::create_directory(folder.path() / "sub");
        std::ofstream(folder.path() / "sub" / "real.json") << "old";
        std::filesystem::create_symlink("sub/real.json", folder.path() / "link.json");
        std::filesystem::create_symlink("/dev/stdout", folder.path() / "out.json");
        std::vector<std::string> args = {"--stress", "1", "--quiet"};
        if (!c.json.empty())
            args.insert(args.end(), {"--json", c.json[0] == '/' || c.json == "-" ? c.json
                                                                                  : (folder.path() / c.json).string()});
        CChild child(kProgram, args, folder.path(), c.setup);
        EXPECT_EQ(child.wait(), c.status) << c.what << ": " << child.err();
        EXPECT_NE(child.err().find(c.said), std::string::npos) << c.what << ": " << child.err();
        if (!c.lands.empty()) {
            EXPECT_EQ(nlohmann::json::parse(test_support::read_text(folder.path() / c.lands), nullptr, false)["mode"],
                      "stress")
                << c.what;
        }
        EXPECT_TRUE(std::filesystem::is_symlink(folder.path() / "link.json")) << c.what;
        EXPECT_TRUE(std::filesystem::is_symlink(folder.path() / "out.json")) << c.what;
    }
}

// Short of file descriptors, --json is refused before the run (status 2) or
// written after it: never a run whose figures are then lost (status 1).
TEST(Stress, TooFewDescriptorsForTheJsonFileStopItBeforeTheRun)
{
    CScratchFolder folder;
    int status = 127;  // too few descriptors to load the program's libraries, or for the JSON file: on
    for (rlim_t limit = 3; limit < 64 && (status == 127 || status == 2); ++limit) {
        CChild child(kProgram, {"--stress", "1", "--quiet", "--json", (folder.path() / "j.json").string()}, folder.path(),
                     CChildSetup::with_limit(RLIMIT_NOFILE, limit));
        status = child.wait();
        EXPECT_EQ(std::filesystem::exists(folder.path() / "j.json"), status == 0) << limit << ": " << child.err();
        if (status == 2) {
            EXPECT_EQ(child.out(), "") << limit;  // no report: nothing ran
        }
    }
    EXPECT_EQ(status, 0);
}

}  // namespace
