#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails on an include that breaks the layout's floors: every folder includes
only its own files and those of the floors it may reach (scene/ is the ground
floor everyone stands on; kernel/ is reached only through engine/), and the
CPU and CUDA backends never include each other. tests/ and bench/ may include
anything.

usage: check_layout.py [SOURCE_ROOT]
"""
import pathlib
import re
import sys

# What each folder may include besides itself.
MAY_INCLUDE = {
    "scene": set(),
    "kernel": {"scene"},
    "engine": {"scene", "kernel"},
    "app": {"scene", "engine"},
    "tools": {"scene", "engine", "app"},
}
# Rooms inside a floor that must not include each other.
APART = [("engine/cpu", "engine/cuda")]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def room_of(path, rooms):
    return next((r for r in rooms if path == r or path.startswith(r + "/")), None)


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    broken = []
    for folder, allowed in MAY_INCLUDE.items():
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in {".h", ".cpp", ".cu"}:
                continue
            here = source.relative_to(root).as_posix()
            for included in INCLUDE.findall(source.read_text()):
                target = included.split("/")[0]
                if "/" in included and target != folder and target not in allowed:
                    broken.append(f"{here}: includes {included} ({folder}/ may include {sorted(allowed) or 'nothing else'})")
                for a, b in APART + [(b, a) for a, b in APART]:
                    if room_of(here, [a]) and room_of(included, [b]):
                        broken.append(f"{here}: includes {included} ({a}/ and {b}/ stay apart)")
    for line in broken:
        print(line)
    print(f"layout: {len(broken)} includes break the floors")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
