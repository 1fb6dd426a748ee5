// SPDX-License-Identifier: Apache-2.0
#pragma once
// The lane passes look unit vectors up in a table of their own
// (engine/cpu/cpu_pass.cpp), already normalised as the surface response uses
// them: this many floats per entry (x, y, z and an unused one), 16-byte
// aligned, so that each entry is one load.

#include <cstdint>

inline constexpr uint32_t kTableEntryStride = 4u;
