// SPDX-License-Identifier: Apache-2.0
#include "render/benchmark/benchmark_options.h"

#include <CLI/CLI.hpp>
#include <fcntl.h>

#include <charconv>
#include <vector>

#include "runtime/startup.h"
#include "render/files/image_writer.h"
#include "render/files/write_landing.h"

namespace {
// Longest --stress: thirty days.
constexpr uint32_t kMostStressSeconds = 30u * 24u * 3600u;

// Options that set up a render of one's own, checked in this order.
constexpr const char* kRenderOnly[] = {"--frames", "--seed", "--output", "--resume", "--serve", "--serve-fps",
                                       "--checkpoint", "--checkpoint-every"};
// A stream named as a file (/dev/stdout, /proc/self/fd/3) is written as it
// is, like "-": replacing what it leads to would replace /dev/stdout itself.
// A standard stream that was closed at start-up holds /dev/null now: the
// figures would be lost without an error, so it counts as not open.
bool can_write_to(int descriptor, std::string& error)
{
    const int flags = standard_stream_was_closed(descriptor) ? -1 : fcntl(descriptor, F_GETFL);
    if (flags < 0)
        error = "descriptor " + std::to_string(descriptor) + " is not open";
    else if ((flags & O_ACCMODE) == O_RDONLY)
        error = "descriptor " + std::to_string(descriptor) + " is open for reading only";
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}
}  // namespace

void add_benchmark_options(CLI::App& app, CBenchmarkArgs& args)
{
    app.add_option("--benchmark", args.benchmark,
                   "Time the standard workload (seed 1, at least 256 frames and 10 seconds) on the pass this "
                   "processor uses, check the picture at frame 256 against the known answer, and report; 'all': "
                   "every CPU pass this processor runs, on one thread and on all, in one table")
        ->expected(0, 1)
        ->option_text("[all]");
    app.add_option("--stress", args.stress,
                   "Keep every core busy for SECONDS (1 to 2592000) rendering the standard workload in cycles of "
                   "256 frames, checking each cycle's picture")
        ->option_text("SECONDS");
    app.add_option("--json", args.json, "With --benchmark or --stress: the figures as JSON to FILE ('-': standard "
                                        "output, and the report goes to standard error)")
        ->option_text("FILE");
}

bool check_benchmark_options(const CLI::App& app, const CBenchmarkArgs& args, CBackendChoice backend,
                             CBenchmarkChoice& choice, std::string& error)
{
    const bool benchmark = app.count("--benchmark") > 0, stress = app.count("--stress") > 0;
    if (benchmark) {
        if (!args.benchmark.empty() && args.benchmark != "all") {
            error = "--benchmark takes no value or 'all', not '" + args.benchmark + "'";
            return false;
        }
        choice.mode = args.benchmark.empty() ? CBenchmarkMode::chosen_pass : CBenchmarkMode::all_passes;
    }
    if (stress) {
        uint64_t seconds = 0;
        const char* end = args.stress.data() + args.stress.size();
        const auto [stop, parsed] = std::from_chars(args.stress.data(), end, seconds);
        if (args.stress.empty() || args.stress[0] < '0' || args.stress[0] > '9' || parsed != std::errc() ||
            stop != end || seconds < 1 || seconds > kMostStressSeconds) {
            error = "--stress must be a whole number of seconds from 1 to " + std::to_string(kMostStressSeconds) +
                    ", not '" + args.stress + "'";
            return false;
        }
        choice.stress_seconds = static_cast<uint32_t>(seconds);
    }
    if (app.count("--json") && args.json.empty()) {
        error = "--json needs a file name, or '-' for standard output";
        return false;
    }
    const int descriptor = args.json == "-" ? 1 : args.json.empty() ? -1 : descriptor_named(args.json);
    if (std::string why; !args.json.empty() &&
                         (descriptor >= 0 ? !can_write_to(descriptor, why) : !can_write_beside(args.json, why))) {
        error = "--json '" + args.json + "': " + why;
        return false;
    }
    if (benchmark && stress) {
        error = "--benchmark and --stress are two ways to run; ask for one";
        return false;
    }
    if (app.count("--json") && !benchmark && !stress) {
        error = "--json needs --benchmark or --stress";
        return false;
    }
    if (!benchmark && !stress)
        return true;
    // All of them in one line, so the first fix is not followed by another refusal.
    std::vector<std::string> given;
    for (const char* option : kRenderOnly)
        if (app.count(option))
            given.push_back(option);
    if (!given.empty()) {
        std::string listed = given[0];
        for (size_t i = 1; i < given.size(); ++i)
            listed += (i + 1 == given.size() ? " and " : ", ") + given[i];
        error = std::string(benchmark ? "--benchmark" : "--stress") +
                " renders the standard workload and keeps no picture; " + listed +
                (given.size() == 1 ? " does" : " do") + " not go with it";
        return false;
    }
    if (choice.mode == CBenchmarkMode::all_passes && backend == CBackendChoice::cuda) {
        error = "--benchmark all times the CPU passes; --backend cuda does not go with it";
        return false;
    }
    choice.json = args.json;
    choice.json_descriptor = descriptor;
    return true;
}
