#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The programs need no CUDA library to start: ldd lists none, and
vantrel-render --backend auto, run with an empty environment (no
LD_LIBRARY_PATH, no CUDA folders), renders on the CPU and writes its image.

usage: starts_without_cuda.py VANTREL_RENDER [OTHER PROGRAM...]
"""
import os
import subprocess
import sys
import tempfile


def main():
    failures = []
    for program in sys.argv[1:]:
        linked = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
        cuda = [line.strip() for line in linked.splitlines() if "libcuda" in line]
        if cuda:
            failures.append(f"{os.path.basename(program)} needs {', '.join(cuda)}")
    with tempfile.TemporaryDirectory() as folder:
        image = os.path.join(folder, "box.png")
        done = subprocess.run([sys.argv[1], "--backend", "auto", "--frames", "1", "--seed", "1", "--quiet",
                               "--output", image], env={"PATH": "/usr/bin:/bin"}, capture_output=True, text=True,
                              timeout=300)
        if done.returncode != 0 or not os.path.exists(image):
            failures.append(f"vantrel-render without CUDA libraries: exit {done.returncode}\n{done.stderr}")
        elif "rendering on the CPU" not in done.stderr:
            failures.append(f"vantrel-render did not say it fell back to the CPU:\n{done.stderr}")
    print("\n".join(failures))
    print(f"{2 - min(2, len(failures))} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
