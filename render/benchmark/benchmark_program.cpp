// SPDX-License-Identifier: Apache-2.0
#include "render/benchmark/benchmark_program.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "runtime/startup.h"
#include "render/benchmark/benchmark.h"
#include "render/benchmark/benchmark_report.h"
#include "render/benchmark/stress.h"
#include "render/files/image_writer.h"

namespace {
// 0 when everything written to `file` went out and it closed, else the error number.
int closed(FILE* file)
{
    const int failure = flushed(file);
    if (std::fclose(file) != 0 && failure == 0)
        return errno != 0 ? errno : EIO;
    return failure;
}
}  // namespace

int run_benchmark_program(const CBenchmarkRequest& request)
{
    // Closed at start, standard output holds /dev/null: the report would go
    // nowhere and the run look like a success. Said before the run, not after it.
    if (request.choice.json_descriptor != 1 && standard_stream_was_closed(STDOUT_FILENO)) {
        print_message("cannot write the report: standard output is closed");
        return 1;
    }
    // Standard output carries the report (or the JSON document) alone: the
    // console lines of each start-up go to standard error from here on.
    std::fflush(stdout);
    const int report_fd = dup(STDOUT_FILENO);
    FILE* report = report_fd >= 0 ? fdopen(report_fd, "w") : nullptr;
    if (report == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        print_message(std::string("cannot set up standard output for the report: ") + std::strerror(errno));
        if (report != nullptr)
            std::fclose(report);
        return 1;
    }
    // --json to a descriptor (-, /dev/stdout, /dev/stderr, /proc/self/fd/N,
    // /dev/stdin opened for writing): that stream as it was at the start.
    const int descriptor = request.choice.json_descriptor;
    FILE* own_json = nullptr;
    if (descriptor >= 0 && descriptor != 1 && descriptor != 2) {
        const int copy = dup(descriptor);
        if (copy < 0 || (own_json = fdopen(copy, "w")) == nullptr) {
            print_message("--json '" + request.choice.json + "': " + std::strerror(errno));
            if (copy >= 0)
                close(copy);
            std::fclose(report);
            return 1;
        }
    }
    // Checked again now that the report's descriptor is open: the JSON file
    // is written with it open, and a limit on open files must show up now
    // rather than after the run.
    const std::string& json = request.choice.json;
    if (std::string why; !json.empty() && descriptor < 0 && !can_write_beside(json, why)) {
        print_message("--json '" + json + "': " + why);
        std::fclose(report);
        return kUsageStatus;
    }
    FILE* json_stream = descriptor == 1 ? report : descriptor == 2 ? stderr : own_json;
    const CReportStreams streams{descriptor == 1 ? stderr : report, json_stream};
    const uint32_t stress_seconds = request.choice.stress_seconds;
    int status = stress_seconds > 0 ? stress_main(request, CStressPlan{stress_seconds}, streams)
                                    : benchmark_main(request, CBenchmarkPlan{}, streams);
    if (const int failure = own_json != nullptr ? closed(own_json) : 0; failure != 0 && status == 0) {
        print_message("--json '" + json + "': " + std::strerror(failure));
        status = 1;
    }
    if (const int failure = closed(report); failure != 0 && status == 0) {
        print_message(std::string("cannot write the report to standard output: ") + std::strerror(failure));
        status = 1;
    }
    return status;
}
