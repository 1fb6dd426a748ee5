// SPDX-License-Identifier: Apache-2.0
#include "render/render_options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/messages.h"
#include "render/files/write_landing.h"
#include "render/progress.h"
#include "runtime/program_info.h"
#include "runtime/startup.h"
#include "engine/engine.h"

namespace {

void complain(const std::string& message) { print_message(message); }

// Help and version go to stdout; a write that fails (a full disk, say) is a
// failure, not a success.
int print_to_stdout(const std::string& text, int status)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return status;
    complain(std::string("cannot write to standard output: ") + std::strerror(errno));
    return 1;
}

// The option whose value is missing or empty: one that takes a value,
// written last, followed by another option, or given "" (--resume "",
// --checkpoint=). CLI11 would take a following option as the value, or an
// empty one as none, and complain about something else or nothing.
const CLI::Option* missing_value(const CLI::App& app, int argc, const char* const* argv, std::string& name,
                                 bool& empty)
{
    for (int i = 1; i < argc; ++i) {
        name = argv[i];
        if (name == "--")
            break;
        const size_t equals = name.find('=');
        const bool joined = equals != std::string::npos;
        if (joined)
            name.resize(equals);
        const CLI::Option* option = app.get_option_no_throw(name);
        if (option == nullptr || option->get_items_expected_min() == 0)
            continue;
        empty = joined ? argv[i][equals + 1] == '\0' : i + 1 < argc && argv[i + 1][0] == '\0';
        if (empty || (!joined && i + 1 == argc))
            return option;
        if (joined)
            continue;
        std::string next = argv[i + 1];
        next = next.substr(0, next.find('='));
        if (next.rfind("--", 0) == 0 && app.get_option_no_throw(next) != nullptr)
            return option;
        ++i;
    }
    return nullptr;
}

// A whole decimal number from `low` to `high`, nothing else (no sign, no spaces).
bool read_number(const std::string& text, uint64_t low, uint64_t high, uint64_t& value)
{
    const char* first = text.data();
    const char* last = first + text.size();
    if (first == last || *first < '0' || *first > '9')
        return false;
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last && value >= low && value <= high;
}

bool check_number(const char* option, const std::string& text, uint64_t low, uint64_t high, uint64_t& value)
{
    if (read_number(text, low, high, value))
        return true;
    complain(std::string(option) + " must be a whole number from " + std::to_string(low) + " to " +
             std::to_string(high) + ", not '" + text + "'");
    return false;
}

// --checkpoint, --checkpoint-every and --resume, once the rest is known good:
// the checkpoint is read and checked here, before any rendering.
std::optional<int> check_long_render(const CLI::App& app, bool frames_given, const std::string& every,
                                     CRenderOptions& options)
{
    uint64_t value = 0;
    if (app.count("--checkpoint-every")) {
        if (!check_number("--checkpoint-every", every, 1, 86400, value))
            return kUsageStatus;
        if (options.checkpoint.empty() && options.resume.empty()) {
            complain("--checkpoint-every needs --checkpoint or --resume");
            return kUsageStatus;
        }
        options.checkpoint_every = static_cast<uint32_t>(value);
    }
    std::string error;
    if (!options.resume.empty()) {
        auto resumed = std::make_shared<CCheckpoint>();
        if (!read_checkpoint(options.resume, *resumed, error)) {
            complain("--resume '" + options.resume + "' " + error);
            return kUsageStatus;
        }
        if (options.seed && *options.seed != resumed->seed) {
            complain("--seed " + std::to_string(*options.seed) + " disagrees with seed " +
                     std::to_string(resumed->seed) + " of the render saved in '" + options.resume + "'");
            return kUsageStatus;
        }
        options.seed = resumed->seed;
        if (!frames_given)
            options.frames = resumed->frames_asked;
        options.resumed = std::move(resumed);
    }
    const char* option = options.checkpoint.empty() ? "--resume" : "--checkpoint";
    if (options.checkpoint.empty())
        options.checkpoint = options.resume;
    if (options.checkpoint.empty())
        return std::nullopt;
    if (!can_write_beside(options.checkpoint, error)) {
        complain(std::string(option) + " '" + options.checkpoint + "': " + error);
        return kUsageStatus;
    }
    // The files the writes land on, whatever leads there: another name, a link, a bind mount.
    if (same_landing(options.checkpoint, options.output)) {
        complain(std::string(option) + " '" + options.checkpoint + "' is the --output file '" + options.output +
                 "'; name another");
        return kUsageStatus;
    }
    return std::nullopt;
}
}  // namespace

std::optional<int> parse_render_options(int argc, const char* const* argv, CRenderOptions& options)
{
    CLI::App app{"Renders Vantrel's built-in scene without a window and writes the picture to a PNG or PPM file.",
                 kRenderProgram};
    app.set_version_flag("--version", [] { return version_text(kRenderProgram); }, kVersionHelp);
    // Values are taken as text and checked here, so every mistake gets one clear line.
    std::string frames, seed, threads, backend = "auto";
    app.add_option("--frames", frames,
                   "Frames to render, 1 to 4294967295, one sample per pixel each "
                   "(default 64; with --serve, until stopped)")
        ->option_text("N");
    app.add_option("--seed", seed, "Seed of the random source, 0 to 4294967295 (default: the clock)")
        ->option_text("S");
    app.add_option("--output", options.output, "Image file, .png or .ppm (default vantrel.png)")
        ->option_text("FILE");
    app.add_option("--threads", threads, "CPU threads, 1 to 1024 (default: OMP_NUM_THREADS, else all cores)")
        ->option_text("N");
    app.add_option("--backend", backend, "auto, cpu or cuda (default auto)")->option_text("NAME");
    app.add_flag("--quiet", options.quiet, "No progress display (the summary line stays)");
    std::string serve, serve_fps;
    CLI::Option* serve_option =
        app.add_option("--serve", serve,
                       "Show the render live on a web page at [ADDRESS:]PORT (address default 127.0.0.1, "
                       "port 0: any free one); after the last frame it stays up until Ctrl+C")
            ->option_text("[ADDRESS:]PORT");
    app.add_option("--serve-fps", serve_fps, "Pictures a second for the live view, 1 to 60 (default 10)")
        ->option_text("N")
        ->needs(serve_option);
    std::string checkpoint_every;
    app.add_option("--checkpoint", options.checkpoint,
                   "Save the render's state to FILE every --checkpoint-every seconds and when it ends, "
                   "to carry it on later with --resume")
        ->option_text("FILE");
    app.add_option("--checkpoint-every", checkpoint_every, "Seconds between checkpoints, 1 to 86400 (default 60)")
        ->option_text("SECONDS");
    app.add_option("--resume", options.resume,
                   "Carry on the render saved in FILE: same seed, --frames counts the frames already done "
                   "(default: the saved render's), and checkpoints go on into FILE unless --checkpoint names another")
        ->option_text("FILE");
    CBenchmarkArgs benchmark_args;
    add_benchmark_options(app, benchmark_args);

    std::string name;
    if (bool empty = false; missing_value(app, argc, argv, name, empty)) {
        complain(name + (empty ? " is given an empty value; it needs one" : " needs a value"));
        return kUsageStatus;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        std::ostringstream text;
        const int status = app.exit(e, text, text);
        return print_to_stdout(text.str(), status);
    } catch (const CLI::CallForVersion& e) {
        std::ostringstream text;
        const int status = app.exit(e, text, text);
        return print_to_stdout(text.str(), status);
    } catch (const CLI::ExtrasError&) {
        // CLI11 lists them last first; name them as they were written.
        std::string listed;
        for (const std::string& extra : app.remaining())
            listed += (listed.empty() ? "'" : " '") + extra + "'";
        complain("unexpected argument" + std::string(app.remaining_size() > 1 ? "s " : " ") + listed + " (see " +
                 kRenderProgram + " --help)");
        return kUsageStatus;
    } catch (const CLI::ParseError& e) {
        complain(std::string(e.what()) + " (see " + kRenderProgram + " --help)");
        return kUsageStatus;
    }

    uint64_t value = 0;
    const bool frames_given = app.count("--frames") > 0;
    if (frames_given) {
        if (!check_number("--frames", frames, 1, UINT32_MAX, value))
            return kUsageStatus;
        options.frames = static_cast<uint32_t>(value);
    }
    if (app.count("--seed")) {
        if (!check_number("--seed", seed, 0, UINT32_MAX, value))
            return kUsageStatus;
        options.seed = static_cast<uint32_t>(value);
    }
    if (app.count("--threads")) {
        if (!check_number("--threads", threads, 1, kMaxCpuThreads, value))
            return kUsageStatus;
        options.engine.cpu_threads = static_cast<int>(value);
    }
    if (app.count("--serve")) {
        CListenAddress address;
        std::string error;
        if (!parse_listen_address(serve, address, error)) {
            complain("--serve " + error);
            return kUsageStatus;
        }
        options.serve = address;
        if (!app.count("--frames"))
            options.frames = kFramesUntilStopped;
    }
    if (app.count("--serve-fps")) {
        if (!check_number("--serve-fps", serve_fps, 1, 60, value))
            return kUsageStatus;
        options.serve_fps = static_cast<uint32_t>(value);
    }
    if (backend == "auto") {
        options.engine.backend = CBackendChoice::automatic;
    } else if (backend == "cpu") {
        options.engine.backend = CBackendChoice::cpu;
    } else if (backend == "cuda") {
        // Checked before any rendering: no CUDA in this build, or no usable
        // device. The engine is handed what was found and does not look again.
        const CCudaProbeResult found = probe_cuda_devices();
        if (found.device_count == 0) {
            complain("--backend cuda: " + found.reason + " (use --backend cpu or auto)");
            return kUsageStatus;
        }
        options.engine.backend = CBackendChoice::cuda;
        options.engine.cuda_probe = found;
    } else {
        complain("--backend must be auto, cpu or cuda, not '" + backend + "'");
        return kUsageStatus;
    }
    if (std::string error;
        !check_benchmark_options(app, benchmark_args, options.engine.backend, options.benchmark, error)) {
        complain(error);
        return kUsageStatus;
    }
    if (benchmark_asked(options))
        return std::nullopt;  // no picture or checkpoint to write
    if (!image_format_for_path(options.output, options.format)) {
        complain("--output '" + options.output + "': the name must end in .png or .ppm");
        return kUsageStatus;
    }
    std::string error;
    if (!can_write_beside(options.output, error)) {
        complain("--output '" + options.output + "': " + error);
        return kUsageStatus;
    }
    return check_long_render(app, frames_given, checkpoint_every, options);
}

bool benchmark_asked(const CRenderOptions& options)
{
    return options.benchmark.mode != CBenchmarkMode::none || options.benchmark.stress_seconds > 0;
}
