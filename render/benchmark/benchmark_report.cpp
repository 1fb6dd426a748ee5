// SPDX-License-Identifier: Apache-2.0
#include "render/benchmark/benchmark_report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "base/messages.h"
#include "base/one_line.h"
#include "runtime/program_info.h"
#include "runtime/stop_signal.h"
#include "engine/cpu_passes.h"
#include "base/image_size.h"
#include "render/files/atomic_file.h"

int flushed(FILE* out)
{
    errno = 0;
    if (std::fflush(out) == 0 && !std::ferror(out))
        return 0;
    return errno != 0 ? errno : EIO;
}

namespace {
using json = nlohmann::ordered_json;

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string backend_text(const std::string& backend, const std::string& pass, int threads)
{
    if (pass.empty())
        return backend;
    return backend + ", " + pass + " pass, " + std::to_string(threads) + (threads == 1 ? " thread" : " threads");
}

void print_heading(FILE* out, const char* what, const std::string& backend)
{
    std::fprintf(out, "%s, vantrel-render %s\n", what, build_facts().version);
    std::fprintf(out, "processor:  %s\n", one_line(processor_model()).c_str());
    if (!backend.empty())
        std::fprintf(out, "backend:    %s\n", backend.c_str());
}

// "R 3, G 0, B 1" for the three channels.
template <typename T>
std::string per_channel(const T (&values)[3], const char* pattern)
{
    return "R " + format(pattern, double(values[0])) + ", G " + format(pattern, double(values[1])) + ", B " +
           format(pattern, double(values[2]));
}

// Each lane pass built with flags of its own, and its whole set of flags.
json pass_flags(const CBuildFacts& facts)
{
    json flags = json::object();
    const std::string listed = facts.pass_flags;
    for (size_t start = 0; start < listed.size();) {
        const size_t end = std::min(listed.find('|', start), listed.size());
        const std::string entry = listed.substr(start, end - start);
        const size_t equals = entry.find('=');
        if (equals != std::string::npos)
            flags[entry.substr(0, equals)] = std::string(facts.flags) + " " + entry.substr(equals + 1);
        start = end + 1;
    }
    return flags;
}

json common_fields()
{
    const CBuildFacts facts = build_facts();
    json passes = json::array();
    for (const char* name : compiled_cpu_pass_names())
        passes.push_back(name);
    return {{"program", kRenderProgram},
            {"version", facts.version},
            {"build",
             {{"type", facts.type},
              {"compiler", facts.compiler},
              {"flags", facts.flags},
              {"pass_flags", pass_flags(facts)},
              {"cuda", facts.cuda},
              {"cuda_architectures", facts.cuda_architectures},
              {"cpu_passes", passes}}},
            {"processor", processor_model()},
            {"workload", {{"seed", kStandardSeed}, {"width", kImageWidth}, {"height", kImageHeight},
                          {"check_frame", kStandardFrames}, {"known_digest", kStandardDigest}}}};
}

json check_fields(const CPictureCheck& check)
{
    json fields = {{"checked", check.done}, {"verified", check.verified}, {"exact", check.exact}};
    fields["check_frame"] = check.done ? json(check.frame) : json(nullptr);
    fields["digest"] = check.done ? json(check.digest) : json(nullptr);
    if (check.compared) {
        fields["differing_pixels"] = check.difference.pixels;
        fields["largest_difference"] = check.difference.largest;
        fields["mean_difference"] = check.difference.mean;
    }
    return fields;
}

json run_fields(const CBenchmarkRun& run)
{
    json fields = {{"backend", run.backend},
                   {"pass", run.pass.empty() ? json(nullptr) : json(run.pass)},
                   {"threads", run.threads},
                   {"frames", run.frames - 1},  // timed: frames / seconds is frames_per_second
                   {"seconds", run.seconds},
                   {"frames_per_second", run.frames_per_second()}};
    fields["rays_per_second"] = run.segments > 0 ? json(run.rays_per_second()) : json(nullptr);
    fields.update(check_fields(run.check));
    return fields;
}

// "1 of 307200 pixels differs", "5 of 307200 pixels differ".
std::string pixels_differing(uint32_t pixels)
{
    return std::to_string(pixels) + " of " + std::to_string(kPixelCount) +
           (pixels == 1 ? " pixels differs" : " pixels differ");
}

// The plain loop's run on the same threads, the yardstick of the table.
const CBenchmarkRun* plain_run(const std::vector<CBenchmarkRun>& runs, int threads)
{
    for (const CBenchmarkRun& run : runs)
        if (run.pass == "plain" && run.threads == threads && run.frames_per_second() > 0.0)
            return &run;
    return nullptr;
}
}  // namespace

std::string processor_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos || line.compare(0, 10, "model name") != 0)
            continue;
        const size_t start = line.find_first_not_of(" \t", colon + 1);
        if (start != std::string::npos)
            return line.substr(start);
    }
    return "unknown processor";
}

std::string check_verdict(const CPictureCheck& check, uint32_t frame_asked)
{
    if (!check.done)
        return "not checked: the time cap came before frame " + std::to_string(frame_asked);
    if (check.exact)
        return "verified: frame " + std::to_string(check.frame) + " is the known answer byte for byte";
    if (!check.compared)
        return "DIFFERS at frame " + std::to_string(check.frame) + " (" + check.error + ")";
    const std::string pixels = pixels_differing(check.difference.pixels);
    if (check.verified)
        return "verified within the GPU bound at frame " + std::to_string(check.frame) + ": " + pixels;
    return "DIFFERS at frame " + std::to_string(check.frame) + ": " + pixels;
}

int print_benchmark_report(FILE* out, const CBenchmarkRun& run)
{
    print_heading(out, "Vantrel benchmark", backend_text(run.backend, run.pass, run.threads));
    std::fprintf(out, "timed:      %u frames in %.2f s, after start-up and the first frame\n", run.frames - 1,
                 run.seconds);
    const std::string rays = run.segments > 0 ? format("%.1f million rays/s", run.rays_per_second() / 1e6)
                                              : "rays not counted on the GPU";
    std::fprintf(out, "speed:      %.2f frames/s, %s\n", run.frames_per_second(), rays.c_str());
    std::fprintf(out, "picture:    %s\n", check_verdict(run.check, kStandardFrames).c_str());
    if (run.check.done)
        std::fprintf(out, "digest:     %s (SHA-256%s)\n", run.check.digest.c_str(),
                     run.check.exact ? "" : ("; the known answer is " + run.check.expected).c_str());
    if (run.check.compared && run.pass.empty())
        std::fprintf(out, "difference: largest %s; mean %s (bound: mean %.1f)\n",
                     per_channel(run.check.difference.largest, "%.0f").c_str(),
                     per_channel(run.check.difference.mean, "%.3f").c_str(), kGpuMeanBound);
    return flushed(out);
}

int print_benchmark_table(FILE* out, const std::vector<CBenchmarkRun>& runs)
{
    print_heading(out, "Vantrel benchmark, every CPU pass", "");
    std::fprintf(out, "%-8s %7s %10s %9s %9s  %s\n", "pass", "threads", "frames/s", "Mrays/s", "speed-up", "verified");
    for (const CBenchmarkRun& run : runs) {
        const CBenchmarkRun* plain = plain_run(runs, run.threads);
        const std::string speedup =
            plain != nullptr ? format("%.2fx", run.frames_per_second() / plain->frames_per_second()) : "-";
        std::fprintf(out, "%-8s %7d %10.2f %9.1f %9s  %s\n", run.pass.c_str(), run.threads, run.frames_per_second(),
                     run.rays_per_second() / 1e6, speedup.c_str(),
                     run.check.verified ? "yes" : run.check.done ? "NO" : "not checked");
    }
    for (const CBenchmarkRun& run : runs)
        if (!run.check.verified)
            std::fprintf(out, "%s: %s\n", backend_text(run.backend, run.pass, run.threads).c_str(),
                         check_verdict(run.check, kStandardFrames).c_str());
    return flushed(out);
}

int print_stress_report(FILE* out, const CStressRun& run)
{
    print_heading(out, "Vantrel stress test", backend_text(run.backend, run.pass, run.threads));
    std::string ended = format("%.1f s", run.seconds) + " of " + std::to_string(run.seconds_asked) + " s";
    if (run.stopped_by != 0)
        ended += std::string(", stopped by ") + signal_name(run.stopped_by);
    std::fprintf(out, "ran:        %s, %u cycle%s of %u frames checked against %s\n", ended.c_str(), run.cycles,
                 run.cycles == 1 ? "" : "s", run.cycle_frames, run.reference.c_str());
    if (run.partial_frames > 0)
        std::fprintf(out, "            the cycle cut short by the end (%u frames) was not checked\n",
                     run.partial_frames);
    std::fprintf(out, "result:     %zu of %u cycles differed\n", run.mismatches.size(), run.cycles);
    for (const CPictureCheck& mismatch : run.mismatches)
        std::fprintf(out, "            cycle %u: %s\n", mismatch.frame,
                     mismatch.compared ? pixels_differing(mismatch.difference.pixels).c_str()
                                       : ("digest " + mismatch.digest + ", " + mismatch.error).c_str());
    return flushed(out);
}

std::string benchmark_json(const std::vector<CBenchmarkRun>& runs, bool all_passes)
{
    json document = common_fields();
    document["mode"] = all_passes ? "benchmark all" : "benchmark";
    bool verified = !runs.empty();
    for (const CBenchmarkRun& run : runs)
        verified = verified && run.check.verified;
    if (!all_passes && runs.size() == 1) {
        document.update(run_fields(runs[0]));
        return document.dump(2) + "\n";
    }
    json list = json::array();
    for (const CBenchmarkRun& run : runs) {
        json fields = run_fields(run);
        const CBenchmarkRun* plain = plain_run(runs, run.threads);
        fields["speedup"] = plain != nullptr ? json(run.frames_per_second() / plain->frames_per_second())
                                             : json(nullptr);
        list.push_back(fields);
    }
    document["verified"] = verified;
    document["runs"] = list;
    return document.dump(2) + "\n";
}

std::string stress_json(const CStressRun& run)
{
    json document = common_fields();
    document["mode"] = "stress";
    document.update(json{{"backend", run.backend},
                         {"pass", run.pass.empty() ? json(nullptr) : json(run.pass)},
                         {"threads", run.threads},
                         {"seconds_asked", run.seconds_asked},
                         {"seconds", run.seconds},
                         {"cycles", run.cycles},
                         {"unchecked_frames", run.partial_frames},
                         {"reference", run.reference},
                         {"mismatched_cycles", run.mismatches.size()},
                         {"verified", run.cycles > 0 && run.mismatches.empty()}});
    json mismatches = json::array();
    for (const CPictureCheck& mismatch : run.mismatches) {
        json fields = check_fields(mismatch);
        fields.erase("check_frame");
        fields["cycle"] = mismatch.frame;
        mismatches.push_back(fields);
    }
    document["mismatches"] = mismatches;
    return document.dump(2) + "\n";
}

bool write_json(const std::string& json_text, const std::string& path, FILE* stream, std::string& error)
{
    const auto put = [&json_text](FILE* out, std::string& why) {
        if (std::fwrite(json_text.data(), 1, json_text.size(), out) == json_text.size() && flushed(out) == 0)
            return true;
        why = std::strerror(errno);
        return false;
    };
    if (stream != nullptr) {
        if (put(stream, error))
            return true;
        error = (path == "-" ? std::string("cannot write to standard output") : "'" + path + "'") + ": " + error;
        return false;
    }
    const bool written = write_whole_file(path, "JSON document", put, error);
    if (!written)
        error = "'" + path + "': " + error;
    return written;
}
