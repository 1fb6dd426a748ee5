// SPDX-License-Identifier: Apache-2.0
#include "runtime/program_info.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/cpu_passes.h"

// The build's facts come from CMake (runtime/CMakeLists.txt), so they follow the
// configuration rather than a copy of it.
#ifndef VANTREL_VERSION
#error "VANTREL_VERSION must be defined by the build"
#endif

namespace {
// "75" -> "7.5", "100" -> "10.0", "90a" -> "9.0a"; empty when `number` does
// not start with at least two digits.
std::string compute_capability(std::string_view number)
{
    size_t digits = 0;
    while (digits < number.size() && number[digits] >= '0' && number[digits] <= '9')
        ++digits;
    if (digits < 2)
        return {};
    return std::string(number.substr(0, digits - 1)) + "." + std::string(number.substr(digits - 1));
}

void append_all(std::string& text, const std::vector<std::string>& items)
{
    for (const std::string& item : items)
        text += " " + item;
}

std::string cpu_passes_text()
{
    std::string text;
    for (const char* name : compiled_cpu_pass_names())
        text += std::string(text.empty() ? "" : " ") + name;
    const char* chosen = chosen_cpu_pass_name();
    text += std::string(" compiled; this processor uses ") + chosen;
    const char* wanted = std::getenv("VANTREL_CPU_PASS");
    if (wanted != nullptr && std::strcmp(wanted, chosen) == 0)
        text += " (asked for by VANTREL_CPU_PASS)";
    return text;
}


}  // namespace

std::string cuda_architectures_text(std::string_view architectures)
{
    std::vector<std::string> code, ptx, other;
    size_t start = 0;
    while (start < architectures.size()) {
        const size_t end = std::min(architectures.find_first_of(" ;", start), architectures.size());
        const std::string_view entry = architectures.substr(start, end - start);
        start = end + 1;
        if (entry.empty() || entry == "OFF")  // OFF: no architecture flags, nvcc's own choice
            continue;
        const size_t dash = entry.find('-');
        const std::string_view number = entry.substr(0, dash);
        const std::string_view kind = dash == std::string_view::npos ? "" : entry.substr(dash + 1);
        const std::string capability = compute_capability(number);
        if (capability.empty() || (kind != "" && kind != "real" && kind != "virtual")) {
            other.emplace_back(entry);
            continue;
        }
        if (kind != "virtual")
            code.push_back(capability);
        if (kind != "real")
            ptx.push_back(capability);  // a plain number gives both
    }
    std::string text;
    if (!code.empty()) {
        text = "GPU code for compute capability";
        append_all(text, code);
    }
    if (!ptx.empty()) {
        text += text.empty() ? "PTX" : " and PTX";
        append_all(text, ptx);
        text += " for newer GPUs";
    }
    if (!other.empty()) {
        text += text.empty() ? "CUDA architectures" : ", CUDA architectures";
        append_all(text, other);
    }
    return text.empty() ? "nvcc's default GPU code" : text;
}

std::string version_text(const char* program)
{
    std::string text = std::string(program) + " " + VANTREL_VERSION + "\n";
#if VANTREL_HAVE_CUDA
    text += std::string("CUDA backend: built, ") + cuda_architectures_text(VANTREL_CUDA_ARCHITECTURES) + "\n";
#else
    text += "CUDA backend: not built (CPU only)\n";
#endif
    text += "CPU passes: " + cpu_passes_text() + "\n";
    text += "compiler: " VANTREL_COMPILER;
    return text;
}

CBuildFacts build_facts()
{
    return {VANTREL_VERSION,    VANTREL_BUILD_TYPE,      VANTREL_COMPILER,          VANTREL_CXX_FLAGS,
            VANTREL_PASS_FLAGS, VANTREL_HAVE_CUDA != 0, VANTREL_CUDA_ARCHITECTURES};
}
