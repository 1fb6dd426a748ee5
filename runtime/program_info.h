// SPDX-License-Identifier: Apache-2.0
#pragma once
// What both programs say about themselves: the --version text and the
// build's facts.

#include <string>
#include <string_view>

// Four lines, without a final newline: "PROGRAM VERSION", whether the CUDA
// backend is built and for which GPUs, the CPU passes compiled and the one
// this processor uses, the compiler.
std::string version_text(const char* program);
// What --version does, for a help text.
inline constexpr const char* kVersionHelp =
    "Print the version, the CUDA backend's GPUs, the CPU passes (and the one this processor uses) and the "
    "compiler, and exit";

// The build's facts, for reports that scripts read.
struct CBuildFacts {
    const char* version;
    const char* type;      // CMake's build type ("Release")
    const char* compiler;  // "GNU 12.2.0"
    const char* flags;     // the C++ flags every object was compiled with, sanitizers included
    const char* pass_flags;  // the lane passes' own flags on top: "avx2=-mavx2|avx512=..."
    bool cuda;             // the CUDA backend is built
    const char* cuda_architectures;
};
CBuildFacts build_facts();

// The GPUs a CMAKE_CUDA_ARCHITECTURES list (entries apart by spaces or
// semicolons) builds code for, for people: "75-real 90-virtual" reads
// "GPU code for compute capability 7.5 and PTX 9.0 for newer GPUs". Entries
// that are not a number (CMake's "native", "all") are named as they are.
std::string cuda_architectures_text(std::string_view architectures);
