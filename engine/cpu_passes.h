// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CPU passes by name, as --version lists them.

#include <vector>

// The passes this build has, whatever the processor, narrowest first.
std::vector<const char*> compiled_cpu_pass_names();
// The passes of this build that this processor can run, narrowest first.
std::vector<const char*> supported_cpu_pass_names();
// The pass this processor uses: the fastest it supports, or the one
// VANTREL_CPU_PASS asked for.
const char* chosen_cpu_pass_name();
