// SPDX-License-Identifier: Apache-2.0
#include "tools/benchmark_program.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/benchmark.h"
#include "tools/render_options.h"
#include "tools/stress.h"

int run_benchmark_program(const CRenderOptions& options)
{
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
    const CReportStreams streams{options.benchmark.json == "-" ? stderr : report, report};
    const uint32_t stress_seconds = options.benchmark.stress_seconds;
    const int status = stress_seconds > 0 ? stress_main(options, CStressPlan{stress_seconds}, streams)
                                          : benchmark_main(options, CBenchmarkPlan{}, streams);
    if (std::fclose(report) != 0 && status == 0) {
        print_message(std::string("cannot write the report to standard output: ") + std::strerror(errno));
        return 1;
    }
    return status;
}
