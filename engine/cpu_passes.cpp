// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu_passes.h"

#include "engine/cpu/cpu_pass.h"

std::vector<const char*> compiled_cpu_pass_names()
{
    std::vector<const char*> names;
    for (CCpuPass pass : kCpuPasses)
        if (cpu_pass_compiled(pass))
            names.push_back(cpu_pass_name(pass));
    return names;
}

std::vector<const char*> supported_cpu_pass_names()
{
    std::vector<const char*> names;
    for (CCpuPass pass : kCpuPasses)
        if (cpu_pass_supported(pass))
            names.push_back(cpu_pass_name(pass));
    return names;
}

const char* chosen_cpu_pass_name() { return cpu_pass_name(cpu_pass_chosen()); }
