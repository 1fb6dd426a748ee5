#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Plants one break of each kind in a small source tree (an include, or a
link in the documentation pages) and sees the layout check fail on it alone,
and pass on the tree without breaks.

usage: check_layout_test.py CHECK_LAYOUT_PY
"""
import pathlib
import subprocess
import sys
import tempfile

# Includes the layout allows, among them the ones each rule must let through.
CLEAN = {
    "kernel/path.h": ['"scene/records.h"', '"base/vector3.h"', "<cmath>"],
    "scene/records.h": ['"base/vector3.h"'],
    # Includes in comments are none; a comment marker in a string is text.
    "kernel/intersect.h": ['// #include "engine/engine.h"', '/*\n#include "engine/engine.h"\n*/'],
    "engine/engine.cpp": ['"engine/backend_select.h"', '"engine/cpu/cpu_pass.h"', '"kernel/path.h"'],
    "engine/cpu/cpu_pass.cpp": ['"engine/device.h"', '"engine/cpu/cpu_pass.h"', '"cpu_threads.h"', "<immintrin.h>"],
    "engine/cuda/cuda_device.cpp": ['"engine/device.h"', '"engine/cuda/cuda_device.h"'],
    "engine/hip/hip_device.cpp": ['"engine/device.h"', '"engine/hip/hip_device.h"'],
    "runtime/camera.cpp": ['"engine/engine.h"', "<engine/backend_select.h>", "<GL/freeglut.h>"],
    "engine/cpu/isa/neon/primitives.h": ['"engine/cpu/isa/lanes_by_element.h"', '"engine/cpu/isa/neon/moves.h"'],
    "window/window.cpp": ['"runtime/camera.h"', '"base/messages.h"', '"window/window_options.h"'],
    "render/render_options.cpp": ['"render/live/live_server.h"', '"render/files/checkpoint.h"', '"runtime/startup.h"'],
    "render/live/live_server.cpp": ['"engine/engine.h"', '"runtime/startup.h"', "<sys/socket.h>",
                                    '"render/files/image_writer.h"', '"render/progress.h"'],
    "bench/display_overhead.cpp": ['"window/window.h"', '"render/files/image_writer.h"'],
    "tests/cpu_device_test.cpp": ['"engine/cpu/cpu_threads.h"', '"render/render_options.h"'],
    # Pages hold lines as they are: links to files, headings, web addresses.
    "README.md": ["# Vantrel", "[long](docs/long-renders.md#the-format-byte-by-byte) [up](#vantrel)",
                  "[site](https://example.org/a) [code](kernel/path.h)"],
    "docs/long-renders.md": ["## The format, byte by byte", "[back](../README.md#vantrel)"],
}
# (file, planted include, what the message must name of the rule broken)
BREAKS = [
    ("scene/records.h", '"kernel/path.h"', "scene/ may include"),
    ("kernel/path.h", "<engine/engine.h>", "kernel/ may include"),
    ("kernel/path.h", "<bench/stage_clock.h>", "kernel/ may include"),
    ("engine/cpu/cpu_pass.cpp", '"engine/engine.h"', "includes only engine/device.h"),
    ("engine/cuda/cuda_device.cpp", "<engine/backend_select.h>", "includes only engine/device.h"),
    ("engine/cuda/cuda_device.cpp", '"engine/cpu/cpu_threads.h"', "stay apart"),
    # A backend folder the check was never told of, and the other file kinds.
    ("engine/hip/hip_device.cpp", '"engine/engine.h"', "includes only engine/device.h"),
    ("engine/hip/hip_device.cpp", '"engine/cuda/launch_shape.h"', "stay apart"),
    ("kernel/path.hpp", '"engine/engine.h"', "kernel/ may include"),
    ("engine/cuda/kernels.cuh", '"engine/engine.h"', "includes only engine/device.h"),
    ("scene/records.inl", '"kernel/path.h"', "scene/ may include"),
    # The front door lets no backend through, and a comment ends before an include.
    ("engine/engine.h", '"engine/cpu/cpu_pass.h"', "front-door header"),
    ("runtime/camera.cpp", '/* old */ #include "engine/cpu/cpu_threads.h"', "engine/*.h only"),
    ("kernel/intersect.h", 'const char* kOpen = "/*";\n#include "engine/engine.h"', "kernel/ may include"),
    ("runtime/camera.cpp", '"engine/cpu/cpu_threads.h"', "engine/*.h only"),
    ("render/live/live_server.cpp", "<engine/cuda/cuda_device.h>", "engine/*.h only"),
    # The floors above the engine: base/ and runtime/ below the programs, which stay apart.
    ("base/vector3.h", '"scene/records.h"', "base/ may include"),
    ("runtime/startup.cpp", '"window/window.h"', "runtime/ may include"),
    ("runtime/camera.cpp", "<render/progress.h>", "runtime/ may include"),
    ("window/window.cpp", '"render/files/image_writer.h"', "window/ may include"),
    ("render/main.cpp", '"window/window_options.h"', "render/ may include"),
    # render/'s rooms, and the passes' folders.
    ("render/files/checkpoint.cpp", '"render/live/live_server.h"', "render/files/ includes nothing else"),
    ("render/files/image_writer.cpp", '"render/progress.h"', "render/files/ includes nothing else"),
    ("render/live/live_server.cpp", '"render/benchmark/benchmark.h"', "stay apart"),
    ("render/benchmark/stress.cpp", '"render/render_options.h"', "only render/progress.h"),
    ("engine/cpu/isa/sse2/primitives.h", '"engine/cpu/isa/avx2/moves.h"', "stay apart"),
    ("README.md", "[gone](docs/gone.md)", "no such file"),
    ("CONTRIBUTING.md", "[renamed](docs/long-renders.md#the-format)", "no such file or heading"),
    ("docs/long-renders.md", "![picture](vantrel.png)", "no such file"),
]


def include_is_line(include):
    """Whether a planted include is a whole line already (comments around it)."""
    return include[0] not in "\"<"


def check(planted=None):
    with tempfile.TemporaryDirectory() as root:
        files = {name: list(includes) for name, includes in CLEAN.items()}
        if planted:
            files.setdefault(planted[0], []).append(planted[1])
        for name, includes in files.items():
            path = pathlib.Path(root) / name
            path.parent.mkdir(parents=True, exist_ok=True)
            raw = name.endswith(".md")
            path.write_text("".join(f"{'' if raw or include_is_line(i) else '#include '}{i}\n" for i in includes))
        run = subprocess.run([sys.executable, sys.argv[1], root], capture_output=True, text=True)
        return run.returncode, [line for line in run.stdout.splitlines() if ": includes " in line or ": links " in line]


failures = []
code, lines = check()
if code != 0 or lines:
    failures.append(f"clean tree: exit {code}, {lines}")
for name, include, rule in BREAKS:
    code, lines = check((name, include))
    target = include.split("](")[1][:-1] if name.endswith(".md") else None
    shown = include.split("#include ")[-1][1:-1]
    want = f"{name}: links to {target} (" if target else f"{name}: includes {shown} ("
    if code != 1 or len(lines) != 1 or not lines[0].startswith(want) or rule not in lines[0]:
        failures.append(f"{name} including {include}: exit {code}, {lines} (wanted one line naming '{rule}')")
for failure in failures:
    print(failure)
print(f"check_layout: {len(BREAKS) + 1 - len(failures)} of {len(BREAKS) + 1} cases as expected")
sys.exit(1 if failures else 0)
