#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails on an include that breaks the layout. Quoted includes count, and so do
angle-bracket ones whose first folder is one of ours (<engine/engine.h>).
- Floors: every folder includes only its own files and those of the floors it
  may reach (scene/ is the ground floor everyone stands on; kernel/ is reached
  only through engine/). tests/ and bench/ may include anything.
- The CPU and CUDA backends (engine/cpu/, engine/cuda/) never include each
  other and stand below the rest of engine/: of it they include only
  engine/device.h, besides their own room.
- app/ and tools/ use the engine through its front door, the headers directly
  in engine/ (engine/*.h), never a backend's files.

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
FOLDERS = set(MAY_INCLUDE) | {"bench", "tests"}
# Rooms inside a floor that must not include each other.
APART = [("engine/cpu", "engine/cuda")]
BACKENDS = ["engine/cpu", "engine/cuda"]
DEVICE = "engine/device.h"
INCLUDE = re.compile(r'^\s*#\s*include\s*(["<])([^">]+)[">]', re.MULTILINE)


def room_of(path, rooms):
    return next((r for r in rooms if path == r or path.startswith(r + "/")), None)


def rule_broken(here, included):
    """The rule that `here` breaks by including `included`, or None."""
    folder, target = here.split("/")[0], included.split("/")[0]
    allowed = MAY_INCLUDE[folder]
    if "/" in included and target != folder and target not in allowed:
        return f"{folder}/ may include {sorted(allowed) or 'nothing else'}"
    for a, b in APART + [(b, a) for a, b in APART]:
        if room_of(here, [a]) and room_of(included, [b]):
            return f"{a}/ and {b}/ stay apart"
    room = room_of(here, BACKENDS)
    if room and target == "engine" and not room_of(included, [room]) and included != DEVICE:
        return f"{room}/ stands below the rest of engine/ and includes only {DEVICE} of it"
    front_door = included.count("/") == 1 and included.endswith(".h")
    if folder in ("app", "tools") and target == "engine" and not front_door:
        return f"{folder}/ uses the engine through engine/*.h only"
    return None


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    broken = []
    for folder in MAY_INCLUDE:
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in {".h", ".cpp", ".cu"}:
                continue
            here = source.relative_to(root).as_posix()
            for bracket, included in INCLUDE.findall(source.read_text()):
                if bracket == "<" and included.split("/")[0] not in FOLDERS:
                    continue  # a system or library header
                rule = rule_broken(here, included)
                if rule:
                    broken.append(f"{here}: includes {included} ({rule})")
    for line in broken:
        print(line)
    print(f"layout: {len(broken)} includes break the layout")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
