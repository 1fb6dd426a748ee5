// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a pass's lane primitives (engine/cpu/isa/<name>/primitives.h, with the
// moves it includes) must define, checked where the pass is compiled: a
// missing or misdeclared function stops the build with a message naming it.
// Those of engine/cpu/isa/lanes_by_element.h and lane_layout_by_element.h
// serve where an instruction set has nothing better. splat_int and mask_bits
// are declared ahead by the shared lane files; the compiler names them as used
// but never defined when a primitives file leaves them out.
//
// Each check is a concept over the lane types, so that a name the primitives
// lack is looked up when it is checked, not when this file is read.

#include <concepts>
#include <cstdint>

namespace VANTREL_LANES_NS {
namespace lane_contract {

template <class M, class F, class U>
concept selects = requires(M m, F f, U u) {
    { lane_select(m, f, f) } -> std::same_as<F>;
    { lane_select(m, u, u) } -> std::same_as<U>;
};
template <class M, class F, class U>
concept packs = requires(M m, F f, U u, float* fs, uint32_t* us) {
    { pack_lanes(m) } -> std::same_as<CPacking>;
    { unpack_lanes(m) } -> std::same_as<CUnpacking>;
    compress_store(fs, f, pack_lanes(m));
    compress_store(us, u, pack_lanes(m));
    { expand_load(static_cast<const float*>(fs), unpack_lanes(m)) } -> std::same_as<F>;
    { expand_load(static_cast<const uint32_t*>(us), unpack_lanes(m)) } -> std::same_as<U>;
};
template <class F>
concept takes_square_roots = requires(F f) {
    { lane_sqrt(f) } -> std::same_as<F>;
};
template <class I, class U>
concept gathers = requires(const float* base, I index, U u, uint32_t count) {
    { gather(base, index) } -> std::same_as<vfloat>;
    { lookup_row(base, count, u) } -> std::same_as<CFloat>;
};
// The moves between per-pixel arrays and lanes (engine/cpu/isa/lane_layout.h).
template <class M, class V, class U>
concept moves_pixels = requires(const float* in, float* out, uint8_t* bytes, uint32_t* uints, M m, V v, U u, vint i,
                                vuint at) {
    { load_pixel_vec3(in) } -> std::same_as<V>;
    store_pixel_vec3(out, m, v);
    store_pixel_bytes(bytes, m, i, i, i);
    load_pixel_rays(in, v, v);
    store_uints_where(uints, m, u);
    { load_table_entries(in, at) } -> std::same_as<V>;
};

}  // namespace lane_contract

static_assert(lane_contract::selects<CMask, CFloat, CUint>,
              "a pass's lane primitives define lane_select(CMask, CFloat, CFloat) and lane_select(CMask, CUint, CUint)");
static_assert(lane_contract::packs<CMask, CFloat, CUint>,
              "a pass's lane primitives define pack_lanes, unpack_lanes, compress_store and expand_load for floats "
              "and unsigned integers (lane_packing.h and lanes_by_element.h hold element-by-element ones)");
static_assert(lane_contract::takes_square_roots<CFloat>, "a pass's lane primitives define lane_sqrt(CFloat)");
static_assert(lane_contract::gathers<vint, CUint>,
              "a pass's lane primitives define gather(const float*, vint) and lookup_row(const float*, uint32_t, CUint)");
static_assert(lane_contract::moves_pixels<CMask, CVec3, CUint>,
              "a pass's moves define load_pixel_vec3, store_pixel_vec3, store_pixel_bytes, load_pixel_rays, "
              "store_uints_where and load_table_entries (engine/cpu/isa/lane_layout.h)");

}  // namespace VANTREL_LANES_NS
