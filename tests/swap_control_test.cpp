// SPDX-License-Identifier: Apache-2.0
// The window's swap-interval request: which GLX extension it goes through,
// and what VANTREL_VSYNC asks for.

#include "window/swap_control.h"

#include <gtest/gtest.h>

TEST(SwapControl, TakesTheFirstOfferedExtensionByWholeName)
{
    const struct {
        const char* extensions;
        CSwapControl expected;
    } cases[] = {
        {nullptr, CSwapControl::none},
        {"", CSwapControl::none},
        // What Mesa's software driver offers under Xvfb.
        {"GLX_ARB_create_context GLX_MESA_query_renderer GLX_OML_swap_method", CSwapControl::none},
        {"GLX_SGI_swap_control GLX_MESA_swap_control GLX_EXT_swap_control", CSwapControl::ext},
        {"GLX_SGI_swap_control GLX_MESA_swap_control", CSwapControl::mesa},
        {"GLX_ARB_multisample GLX_SGI_swap_control", CSwapControl::sgi},
        {"GLX_EXT_swap_control_tear GLX_SGI_swap_control", CSwapControl::sgi},
        {"GLX_EXT_swap_control_tear GLX_EXT_swap_control", CSwapControl::ext},
        {"XGLX_EXT_swap_control GLX_MESA_swap_controls", CSwapControl::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(choose_swap_control(c.extensions), c.expected) << (c.extensions ? c.extensions : "(null)");
}

TEST(SwapControl, OnlyVsyncOneKeepsTheDisplayRefresh)
{
    const struct {
        const char* value;
        bool keeps;
        bool unknown;
    } cases[] = {
        {nullptr, false, false}, {"", false, false},   {"0", false, false},  {"1", true, false},
        {"2", false, true},      {"yes", false, true}, {"1 ", false, true}, {"01", false, true},
    };
    for (const auto& c : cases) {
        bool unknown = !c.unknown;
        EXPECT_EQ(keeps_display_refresh(c.value, &unknown), c.keeps) << (c.value ? c.value : "(null)");
        EXPECT_EQ(unknown, c.unknown) << (c.value ? c.value : "(null)");
    }
}
