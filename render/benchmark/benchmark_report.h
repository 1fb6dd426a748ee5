// SPDX-License-Identifier: Apache-2.0
#pragma once
// What --benchmark and --stress found, and their reports: a few lines or a
// table for people, one JSON document for scripts.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "render/benchmark/known_answer.h"

// One timed run of the standard workload.
struct CBenchmarkRun {
    std::string backend;  // "CPU", "CUDA"
    std::string pass;     // the CPU pass ("" on a GPU)
    int threads = 0;      // CPU threads
    uint32_t frames = 0;  // frames rendered, the first (untimed) one included
    double seconds = 0.0;   // from the end of the first frame to the end of the last
    uint64_t segments = 0;  // searched in that time (0 where the backend does not count them)
    CPictureCheck check;    // at the known answer's frame
    bool capped = false;    // the time cap ended the run before the check
    double frames_per_second() const { return seconds > 0.0 ? (frames - 1) / seconds : 0.0; }
    double rays_per_second() const { return seconds > 0.0 ? segments / seconds : 0.0; }
};

// A stress run: cycles of the standard workload, each checked.
struct CStressRun {
    std::string backend, pass;
    int threads = 0;
    uint32_t seconds_asked = 0;
    double seconds = 0.0;
    uint32_t cycle_frames = kStandardFrames;
    uint32_t cycles = 0;         // checked
    uint32_t partial_frames = 0; // frames of a cycle cut short by the end (not checked)
    int stopped_by = 0;          // the stop signal that ended it, or 0
    std::vector<CPictureCheck> mismatches;  // the cycles that differed (frame: the cycle's number)
    std::string reference;  // what each cycle is held against: "the known answer" or "the first cycle"
};

// The processor's model name from /proc/cpuinfo, or "unknown processor".
std::string processor_model();

// 0 once everything written to `out` has gone out, else the error number: a
// write error is kept by the stream, so a flush with nothing left to write
// would say 0 after a failed one.
int flushed(FILE* out);

// The reports for people; 0, or the error number of a write that failed.
int print_benchmark_report(FILE* out, const CBenchmarkRun& run);
int print_benchmark_table(FILE* out, const std::vector<CBenchmarkRun>& runs);
int print_stress_report(FILE* out, const CStressRun& run);
// "verified", or what went wrong with the picture, in a few words.
std::string check_verdict(const CPictureCheck& check, uint32_t frame_asked);

// The JSON documents: program, version, build, processor; then a single run's
// figures, or "runs" for all passes, or the stress run's.
std::string benchmark_json(const std::vector<CBenchmarkRun>& runs, bool all_passes);
std::string stress_json(const CStressRun& run);

// Writes `json` where --json asked: to `stream` when there is one (for "-"
// or a descriptor's name such as /dev/stdout), else to the file `path`
// (through its links, as images are), which appears only when complete.
// False with the reason.
bool write_json(const std::string& json, const std::string& path, FILE* stream, std::string& error);
