// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes: three floats per pixel (sums),
// three bytes per pixel (the image), six floats per ray, masked stores of one
// integer per pixel, and lookups in a table of 16-byte entries. Each
// instruction set has a file of its own, engine/cpu/isa/<name>/moves.h,
// included by its primitives (primitives.h beside it), and every one defines
// the same functions (lane_contract.h checks them):
//
//   CVec3 load_pixel_vec3(const float* base)
//   void store_pixel_vec3(float* base, CMask where, CVec3 value)
//   void store_pixel_bytes(uint8_t* base, CMask where, vint x, vint y, vint z)
//   void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
//   void store_uints_where(uint32_t* dst, CMask where, CUint value)
//   CVec3 load_table_entries(const float* base, vuint index)
//
// base points at the first pixel's first float (or byte); a store writes only
// the pixels where `where` holds and leaves the others' values as they were.
// Where an instruction set can, whole registers are moved and shuffled:
// gathers are slower than element loads on some processors. Those it has
// nothing better for it takes from lane_layout_by_element.h.

#include "kernel/lanes.h"

namespace VANTREL_LANES_NS {

using CVec3 = CVec3Lanes<CFloat>;

}  // namespace VANTREL_LANES_NS
