#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Compiles the CUDA kernels for each real GPU architecture of the build with
ptxas's resource report and fails when any kernel spills, has a stack frame
or uses more than MAX_REGISTERS registers per thread on any of them. Prints,
per architecture, the registers, stack frame, spills and theoretical
occupancy of path_trace_cuda with its 32 x 2 thread blocks.

usage: kernel_resources.py NVCC SOURCE_ROOT "ARCHITECTURES" [NVCC FLAGS...]
"""
import re
import subprocess
import sys

# Per streaming multiprocessor: resident warps, resident blocks, 32-bit registers.
LIMITS = {"75": (32, 16, 65536), "80": (64, 32, 65536), "86": (48, 16, 65536), "89": (48, 24, 65536),
          "90": (64, 32, 65536), "100": (64, 32, 65536), "120": (48, 24, 65536)}
BLOCK_WARPS = 2  # 32 x 2 threads
# A path's five bounce records fit in registers well below this; above it a
# 32 x 2 block of path_trace_cuda loses resident warps on every architecture.
MAX_REGISTERS = 80
REGISTER_UNIT = 256  # registers are given to a warp in blocks of this many

ENTRY = re.compile(r"Compiling entry function '(\w+)' for 'sm_(\d+)'")
FRAME = re.compile(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads")
USED = re.compile(r"Used (\d+) registers")


def occupancy(arch, registers):
    warps, blocks, register_file = LIMITS[arch]
    per_warp = -(-registers * 32 // REGISTER_UNIT) * REGISTER_UNIT
    by_registers = register_file // (per_warp * BLOCK_WARPS)
    resident = min(blocks, warps // BLOCK_WARPS, by_registers)
    return resident * BLOCK_WARPS / warps


def report(nvcc, root, arch, flags):
    command = [nvcc, "-std=c++17", "-I", root, "-c", f"{root}/engine/cuda/vantrel_cuda.cu", "-o", "/dev/null",
               f"-arch=sm_{arch}", "-Xptxas", "-v"] + flags
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"nvcc failed for sm_{arch}:\n{done.stderr}")
    kernels, current = {}, None
    for line in done.stderr.splitlines():
        if m := ENTRY.search(line):
            current = "path_trace_cuda" if "path_trace_cuda" in m.group(1) else "bind_globals"
            kernels[current] = {}
        elif current and (m := FRAME.search(line)):
            kernels[current].update(stack=int(m.group(1)), spill_stores=int(m.group(2)), spill_loads=int(m.group(3)))
        elif current and (m := USED.search(line)):
            kernels[current]["registers"] = int(m.group(1))
    return kernels


def limit_failures(arch, kernels):
    """One line per kernel and limit it breaks on this architecture."""
    failures = []
    for name, r in kernels.items():
        if r.get("spill_stores") or r.get("spill_loads"):
            failures.append(f"{name} on sm_{arch} spills: {r['spill_stores']} bytes stored, "
                            f"{r['spill_loads']} bytes loaded")
        if r.get("stack"):
            failures.append(f"{name} on sm_{arch} has a {r['stack']}-byte stack frame")
        if r.get("registers", 0) > MAX_REGISTERS:
            failures.append(f"{name} on sm_{arch} uses {r['registers']} registers (at most {MAX_REGISTERS})")
    return failures


def main():
    nvcc, root, architectures = sys.argv[1], sys.argv[2], sys.argv[3]
    flags = sys.argv[4:]
    real = [a.split("-")[0] for a in architectures.replace(",", ";").split(";")
            if a and not a.endswith("-virtual")]
    print("| architecture | registers | stack bytes | spill stores / loads | occupancy (32 x 2 blocks) |")
    print("|---|---|---|---|---|")
    failures = []
    failed_architectures = 0
    for arch in real:
        kernels = report(nvcc, root, arch, flags)
        if "path_trace_cuda" not in kernels:
            sys.exit(f"no resource report for path_trace_cuda on sm_{arch}")
        k = kernels["path_trace_cuda"]
        share = f"{occupancy(arch, k['registers']):.0%}" if arch in LIMITS else "unknown"
        print(f"| sm_{arch} | {k['registers']} | {k['stack']} | {k['spill_stores']} / {k['spill_loads']} | {share} |")
        broken = limit_failures(arch, kernels)
        failures += broken
        failed_architectures += 1 if broken else 0
    for line in failures:
        print(line)
    print(f"{len(real) - failed_architectures} passed, {failed_architectures} failed")
    if failures:
        sys.exit(1)


if __name__ == "__main__":
    main()
