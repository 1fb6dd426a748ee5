// SPDX-License-Identifier: Apache-2.0
#include "engine/backend_select.h"

#include <cstdio>

#include "base/messages.h"
#include "engine/cpu/cpu_device.h"
#if VANTREL_HAVE_CUDA
#include "engine/cuda/cuda_device.h"
#endif

namespace {
constexpr const char* kNotBuilt = "this build has no CUDA backend";
}  // namespace

bool cuda_backend_built() { return VANTREL_HAVE_CUDA != 0; }

CCudaProbeResult probe_cuda_devices()
{
    CCudaProbeResult result;
#if VANTREL_HAVE_CUDA
    result.device_count = cuda_usable_device_count(&result.reason);
#else
    result.reason = kNotBuilt;
#endif
    return result;
}

CBackendDecision decide_backend(CBackendChoice choice, bool cuda_built, const CCudaProbe& probe)
{
    if (choice == CBackendChoice::cpu)
        return {CBackendKind::cpu, ""};
    if (!cuda_built) {
        if (choice == CBackendChoice::cuda)
            return {CBackendKind::none,
                    std::string(message_program()) + ": the CUDA backend was asked for, but " + kNotBuilt};
        return {CBackendKind::cpu, ""};
    }
    const CCudaProbeResult found = probe();
    if (found.device_count > 0)
        return {CBackendKind::cuda, "", choice == CBackendChoice::automatic};
    const std::string reason = found.reason.empty() ? "no CUDA device found" : found.reason;
    if (choice == CBackendChoice::cuda)
        return {CBackendKind::none, std::string(message_program()) +
                                        ": the CUDA backend was asked for, but there is no usable CUDA device (" +
                                        reason + ")"};
    return {CBackendKind::cpu,
            std::string(message_program()) + ": no usable CUDA device (" + reason + "); rendering on the CPU"};
}

CSelectedDevice select_device_with_probe(const CEngineOptions& options, const CCudaProbe& probe)
{
    const CBackendDecision decision = decide_backend(options.backend, cuda_backend_built(), probe);
    if (!decision.message.empty()) {
        std::fprintf(stderr, "%s\n", decision.message.c_str());
        std::fflush(stderr);
    }
    switch (decision.kind) {
    case CBackendKind::cpu:
        return {make_cpu_backend(options), false};
    case CBackendKind::cuda:
#if VANTREL_HAVE_CUDA
        return {make_cuda_device(), decision.may_fall_back};
#else
        break;  // decide_backend never picks CUDA in a build without it
#endif
    case CBackendKind::none:
        break;
    }
    return {};
}

std::unique_ptr<CDeviceOperations> make_cpu_backend(const CEngineOptions& options)
{
    for (CCpuPass pass : kCpuPasses)
        if (options.cpu_pass == cpu_pass_name(pass) && cpu_pass_supported(pass))
            return make_cpu_device(options.cpu_threads, pass);
    return make_cpu_device(options.cpu_threads);
}

CSelectedDevice select_device(const CEngineOptions& options)
{
    if (const std::optional<CCudaProbeResult>& found = options.cuda_probe)
        return select_device_with_probe(options, [&found] { return *found; });
    return select_device_with_probe(options, probe_cuda_devices);
}
