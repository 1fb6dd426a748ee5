#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails on an include that breaks the layout. Quoted includes count, and so do
angle-bracket ones whose first folder is one of ours (<engine/engine.h>).
- Floors: every folder includes only its own files and those of the floors it
  may reach (base/ is the ground floor everyone stands on and includes nothing
  of ours; kernel/ is reached only through engine/; runtime/ includes no
  program). The two programs, window/ and render/, never include each other.
  tests/ and bench/ may include anything.
- Every folder under engine/ is a backend (engine/cpu/, engine/cuda/, and any
  new one without a change here): backends never include each other and stand
  below the rest of engine/, of which they include only engine/device.h,
  besides their own room. The passes' folders under engine/cpu/isa/ stay
  apart too.
- runtime/, window/ and render/ use the engine through its front door, the
  headers directly in engine/ (engine/*.h), never a backend's files; and no
  front-door header includes a backend's header, through which they would
  reach it.
- render/'s rooms: render/files/ includes nothing else of render/;
  render/benchmark/ and render/live/ stay apart and include, of render/
  itself, only its progress lines (render/progress.h).
usage: check_layout.py [SOURCE_ROOT]
"""
import pathlib
import re
import sys

# What each folder may include besides itself.
MAY_INCLUDE = {
    "base": set(),
    "scene": {"base"},
    "kernel": {"base", "scene"},
    "engine": {"base", "scene", "kernel"},
    "runtime": {"base", "scene", "engine"},
    "window": {"base", "scene", "engine", "runtime"},
    "render": {"base", "scene", "engine", "runtime"},
}
PROGRAMS = ("runtime", "window", "render")  # the engine's users, through its front door
RENDER_ROOMS = ("render/files", "render/benchmark", "render/live")
RENDER_SHARED = "render/progress.h"  # what render/'s rooms may use of render/ itself
FOLDERS = set(MAY_INCLUDE) | {"bench", "tests"}
HEADERS = (".h", ".hpp", ".cuh", ".inl")
SOURCES = set(HEADERS) | {".cpp", ".cu"}
DEVICE = "engine/device.h"
INCLUDE = re.compile(r'^\s*#\s*include\s*(["<])([^">]+)[">]', re.MULTILINE)
# A comment, or a string or character literal (kept: a comment marker in it is text).
COMMENT_OR_LITERAL = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.DOTALL)
LINK = re.compile(r"\]\(([^)\s]+)\)")
PAGES = ["README.md", "CONTRIBUTING.md", "docs/*.md"]


def backend_of(path):
    """The backend folder (engine/<name>) that `path` lies in, or None."""
    parts = path.split("/")
    return "/".join(parts[:2]) if len(parts) > 2 and parts[0] == "engine" else None


def pass_of(path):
    """The pass folder (engine/cpu/isa/<name>) that `path` lies in, or None."""
    parts = path.split("/")
    return "/".join(parts[:4]) if len(parts) > 4 and parts[:3] == ["engine", "cpu", "isa"] else None


def render_room_of(path):
    """The room of render/ (render/files, ...) that `path` lies in, or None."""
    return next((room for room in RENDER_ROOMS if path.startswith(room + "/")), None)


def without_comments(text):
    """The source with each comment blanked out (its line breaks kept)."""
    def blank(match):
        token = match.group(0)
        return token if token[0] in "\"'" else re.sub(r"[^\n]", " ", token)
    return COMMENT_OR_LITERAL.sub(blank, text)


def rule_broken(here, included):
    """The rule that `here` breaks by including `included`, or None."""
    folder, target = here.split("/")[0], included.split("/")[0]
    allowed = MAY_INCLUDE[folder]
    if "/" in included and target != folder and target not in allowed:
        return f"{folder}/ may include {sorted(allowed) or 'nothing else'}"
    room, other = backend_of(here), backend_of(included)
    if room and other and other != room:
        return f"{room}/ and {other}/ stay apart"
    if room and target == "engine" and other != room and included != DEVICE:
        return f"{room}/ stands below the rest of engine/ and includes only {DEVICE} of it"
    isa, other_isa = pass_of(here), pass_of(included)
    if isa and other_isa and other_isa != isa:
        return f"{isa}/ and {other_isa}/ stay apart"
    front_door = included.count("/") == 1 and included.endswith(HEADERS)
    if folder in PROGRAMS and target == "engine" and not front_door:
        return f"{folder}/ uses the engine through engine/*.h only"
    if folder == "engine" and not room and here.endswith(HEADERS) and other:
        return "a front-door header of engine/ includes no backend's header (the programs would reach it)"
    render_room, included_room = render_room_of(here), render_room_of(included)
    if render_room and target == "render" and included_room != render_room:
        if render_room == "render/files":
            return "render/files/ includes nothing else of render/"
        if included_room and included_room != "render/files":
            return f"{render_room}/ and {included_room}/ stay apart"
        if not included_room and included != RENDER_SHARED:
            return f"{render_room}/ includes of render/ itself only {RENDER_SHARED}"
    return None


def anchors(page):
    """The anchors a Markdown page's headings get: lower case, punctuation
    dropped, spaces as hyphens."""
    titles = re.findall(r"^#+\s+(.*)$", page.read_text(), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-") for title in titles}


def broken_links(root):
    """Relative links of the documentation pages whose file or heading is missing."""
    broken = []
    for page in sorted(p for pattern in PAGES for p in root.glob(pattern)):
        for link in LINK.findall(page.read_text()):
            if re.match(r"[a-z]+:", link):
                continue  # a web address
            path, _, anchor = link.partition("#")
            target = (page.parent / path).resolve() if path else page
            if not target.exists() or (anchor and target.suffix == ".md" and anchor not in anchors(target)):
                broken.append(f"{page.relative_to(root).as_posix()}: links to {link} (no such file or heading)")
    return broken


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    broken = []
    for folder in MAY_INCLUDE:
        for source in sorted((root / folder).rglob("*")):
            if source.suffix not in SOURCES:
                continue
            here = source.relative_to(root).as_posix()
            for bracket, included in INCLUDE.findall(without_comments(source.read_text())):
                if bracket == "<" and included.split("/")[0] not in FOLDERS:
                    continue  # a system or library header
                rule = rule_broken(here, included)
                if rule:
                    broken.append(f"{here}: includes {included} ({rule})")
    links = broken_links(root)
    for line in broken + links:
        print(line)
    print(f"layout: {len(broken)} includes break the layout, {len(links)} links point nowhere")
    return 1 if broken or links else 0


if __name__ == "__main__":
    sys.exit(main())
