// SPDX-License-Identifier: Apache-2.0
// The backend choice, with the CUDA device probe faked.

#include <gtest/gtest.h>

#include <string>

#include "engine/backend_select.h"

namespace {
CCudaProbe fake_probe(int device_count, const char* reason, int* calls)
{
    return [=] {
        ++*calls;
        return CCudaProbeResult{device_count, reason};
    };
}

constexpr const char* kDriverReason = "CUDA driver version is insufficient for CUDA runtime version";

int count_lines(const std::string& text)
{
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}
}  // namespace

TEST(DecideBackend, AutomaticTakesCudaOnlyWhenBuiltAndADeviceAnswers)
{
    int calls = 0;
    CBackendDecision d = decide_backend(CBackendChoice::automatic, true, fake_probe(1, "", &calls));
    EXPECT_EQ(d.kind, CBackendKind::cuda);
    EXPECT_EQ(d.message, "");
    EXPECT_TRUE(d.may_fall_back);  // the CPU takes over from a device that fails to start

    d = decide_backend(CBackendChoice::automatic, true, fake_probe(0, kDriverReason, &calls));
    EXPECT_EQ(d.kind, CBackendKind::cpu);
    EXPECT_EQ(d.message, std::string("vantrel: no usable CUDA device (") + kDriverReason + "); rendering on the CPU");
    EXPECT_EQ(calls, 2);

    // A build without CUDA never asks and says nothing.
    d = decide_backend(CBackendChoice::automatic, false, fake_probe(1, "", &calls));
    EXPECT_EQ(d.kind, CBackendKind::cpu);
    EXPECT_EQ(d.message, "");
    EXPECT_EQ(calls, 2);
}

TEST(DecideBackend, ZeroDevicesWithoutAReasonStillSaysWhy)
{
    int calls = 0;
    const CBackendDecision d = decide_backend(CBackendChoice::automatic, true, fake_probe(0, "", &calls));
    EXPECT_EQ(d.kind, CBackendKind::cpu);
    EXPECT_NE(d.message.find("(no CUDA device found)"), std::string::npos) << d.message;
}

TEST(DecideBackend, CudaAskedForWithoutADeviceOrBuildIsRefusedWithTheReason)
{
    int calls = 0;
    CBackendDecision d = decide_backend(CBackendChoice::cuda, true, fake_probe(0, kDriverReason, &calls));
    EXPECT_EQ(d.kind, CBackendKind::none);
    EXPECT_NE(d.message.find(kDriverReason), std::string::npos) << d.message;
    EXPECT_EQ(d.message.find("rendering on the CPU"), std::string::npos) << d.message;

    d = decide_backend(CBackendChoice::cuda, false, fake_probe(1, "", &calls));
    EXPECT_EQ(d.kind, CBackendKind::none);
    EXPECT_NE(d.message.find("this build has no CUDA backend"), std::string::npos) << d.message;

    d = decide_backend(CBackendChoice::cuda, true, fake_probe(2, "", &calls));
    EXPECT_EQ(d.kind, CBackendKind::cuda);
    EXPECT_EQ(d.message, "");
    EXPECT_FALSE(d.may_fall_back);  // asked for by name: a failure is the user's to see
}

TEST(DecideBackend, CpuNeverAsksCuda)
{
    int calls = 0;
    for (bool built : {false, true}) {
        const CBackendDecision d = decide_backend(CBackendChoice::cpu, built, fake_probe(1, "", &calls));
        EXPECT_EQ(d.kind, CBackendKind::cpu);
        EXPECT_EQ(d.message, "");
    }
    EXPECT_EQ(calls, 0);
}

TEST(SelectDevice, NoDeviceFallsBackToTheCpuWithOneLineOnStderr)
{
    int calls = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto device =
        select_device_with_probe({CBackendChoice::automatic, 1}, fake_probe(0, kDriverReason, &calls)).device;
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->name(), "CPU");
    EXPECT_EQ(out, "");
    if (cuda_backend_built()) {
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(count_lines(err), 1) << err;
        EXPECT_NE(err.find(kDriverReason), std::string::npos) << err;
        EXPECT_NE(err.find("rendering on the CPU"), std::string::npos) << err;
    } else {
        EXPECT_EQ(err, "");
    }
}

TEST(SelectDevice, OneDevicePicksCudaInACudaBuild)
{
    int calls = 0;
    testing::internal::CaptureStderr();
    // Making the CUDA device calls nothing on the GPU, so this runs without one.
    const auto device = select_device_with_probe({CBackendChoice::automatic, 1}, fake_probe(1, "", &calls)).device;
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->name(), cuda_backend_built() ? "CUDA" : "CPU");
    EXPECT_FALSE(device->failed());
    EXPECT_EQ(err, "");
}

TEST(SelectDevice, CudaWithoutADeviceGivesNoDeviceAndSaysWhy)
{
    int calls = 0;
    testing::internal::CaptureStderr();
    const auto device =
        select_device_with_probe({CBackendChoice::cuda, 1}, fake_probe(0, kDriverReason, &calls)).device;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(count_lines(err), 1) << err;
}

TEST(SelectDevice, AProbeResultHandedOnIsUsedWithoutAskingAgain)
{
    CEngineOptions options{CBackendChoice::automatic, 1, CCudaProbeResult{0, kDriverReason}};
    testing::internal::CaptureStderr();
    const auto device = select_device(options).device;
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->name(), "CPU");
    if (cuda_backend_built()) {
        EXPECT_NE(err.find(kDriverReason), std::string::npos) << err;
    }
}

TEST(SelectDevice, CpuChoiceNeverProbes)
{
    int calls = 0;
    const auto device = select_device_with_probe({CBackendChoice::cpu, 1}, fake_probe(1, "", &calls)).device;
    ASSERT_NE(device, nullptr);
    EXPECT_STREQ(device->name(), "CPU");
    EXPECT_EQ(calls, 0);
}

TEST(ProbeCudaDevices, GivesAReasonWheneverThereIsNoDevice)
{
    const CCudaProbeResult found = probe_cuda_devices();
    if (found.device_count > 0) {
        EXPECT_TRUE(cuda_backend_built());
    } else {
        EXPECT_FALSE(found.reason.empty());
    }
    if (!cuda_backend_built()) {
        EXPECT_EQ(found.reason, "this build has no CUDA backend");
    }
}
