// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the build names for a lane pass (engine/CMakeLists.txt, from the pass's
// row in engine/cpu/cpu_pass_list.h). A pass is compiled once per instruction
// set, each time with its own VANTREL_LANES_NS and VANTREL_LANE_COUNT, so every
// function instantiated for one instruction set has a name of its own and the
// linker can never hand it to another; VANTREL_LANES_PRIMITIVES names the
// instruction set's primitives, engine/cpu/isa/<name>/primitives.h, which bring its
// moves between per-pixel arrays and lanes with them. Only the build picks an
// instruction set: no file here tests the compiler's target to choose one.

#if !defined(VANTREL_LANES_NS) || !defined(VANTREL_LANE_COUNT) || !defined(VANTREL_LANES_PRIMITIVES)
#error "VANTREL_LANES_NS, VANTREL_LANE_COUNT and VANTREL_LANES_PRIMITIVES name a pass's namespace, lanes, primitives"
#endif
