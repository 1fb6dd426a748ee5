#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tests of what a user installs: `cmake --install` into a scratch DESTDIR, and the Debian package.

usage: install_test.py destdir|package BUILD_DIR VERSION PROGRAM... [-- CMAKE CPACK]

destdir: installs into a temporary DESTDIR; exactly the programs, manual pages and documents
         are there; the installed programs answer --version (vantrel without a display, so before
         any window) and vantrel-render renders 2 frames from there; no run-time path points into
         the build folder; each manual page names every option its program's --help lists; the
         README's option table names exactly the options of vantrel-render --help, with the
         ranges and defaults it gives; every relative link of the installed documents points at
         an installed file.
package: (skipped, status 77, without dpkg-deb) builds the packages with cpack into a temporary
         folder, one per program (vantrel-render headless, vantrel the window, depending on
         vantrel-render), and checks each one's control fields, its file list, and that its
         Depends name the Debian package of every library its program loads; that vantrel-render
         needs no display library, nor does anything its Depends pull in (when apt-cache knows
         them); that the maintainer comes from DEBFULLNAME and DEBEMAIL and signs the changelog,
         that the programs are hardened (fortified calls, relocations bound at start), and that
         lintian, when installed, finds neither an error nor a warning.
"""

import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77


class Failure(Exception):
    pass


def run(args, **kwargs):
    kwargs.setdefault("timeout", 300)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def checked(args, **kwargs):
    result = run(args, **kwargs)
    if result.returncode != 0:
        raise Failure(f"{' '.join(args)} exited with {result.returncode}:\n{result.stdout}{result.stderr}")
    return result.stdout


SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC_PAGES = sorted(name for name in os.listdir(os.path.join(SOURCE, "docs")) if name.endswith((".md", ".png")))


def expected_files(programs):
    """Every file an install holds, under the prefix: nothing of the tests or benchmarks. Each
    program's documents are in a folder of its name; the README, CONTRIBUTING.md and the docs/
    pages they link to go with vantrel-render."""
    files = set()
    for program in programs:
        files |= {f"bin/{program}", f"share/man/man1/{program}.1.gz", f"share/doc/{program}/copyright"}
        if program == "vantrel-render":
            files |= {f"share/doc/{program}/README.md", f"share/doc/{program}/CONTRIBUTING.md"}
            files |= {f"share/doc/{program}/docs/{name}" for name in DOC_PAGES}
    return files


def broken_links(folder):
    """Relative links and pictures of the Markdown files under `folder` whose file is not there.
    None is exempt: LICENSE is not installed (the copyright file carries the licence, and lintian
    warns of a second licence file), so no page may link to it."""
    broken = []
    for root, _, names in os.walk(folder):
        for name in (n for n in names if n.endswith(".md")):
            with open(os.path.join(root, name)) as page:
                for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", page.read()):
                    if re.match(r"[a-z]+:", target):
                        continue
                    if not os.path.exists(os.path.join(root, target)):
                        broken.append(f"{os.path.relpath(os.path.join(root, name), folder)} -> {target}")
    return broken


def help_options(help_text):
    """The options a --help text lists: every -x / --name at the start of an indented line."""
    options = set()
    for line in help_text.splitlines():
        match = re.match(r"\s+(-[\w-]+(?:,\s*-[\w-]+)*)", line)
        if match:
            options |= {option.strip() for option in match.group(1).split(",")}
    return options


def readme_option_rows(readme):
    """The README's option table: the text of each option's row, backquotes dropped."""
    rows = {}
    for line in readme.splitlines():
        cells = line.split("|")
        if line.startswith("| `-") and len(cells) > 3:
            rows.update(dict.fromkeys(re.findall(r"--[\w-]+", cells[1]), cells[2].replace("`", "")))
    return rows


def man_text(path):
    """A manual page's words: roff's escaped hyphens as hyphens, font changes dropped."""
    with gzip.open(path, "rt") as page:
        text = page.read()
    return re.sub(r"\\f(\(..|.)|\\[,/&]", "", text).replace("\\-", "-")


def check_version(program, version, env=None):
    result = run([program, "--version"], env=env, timeout=60)
    lines = result.stdout.splitlines()
    name = os.path.basename(program)
    if result.returncode != 0 or len(lines) != 4 or lines[0] != f"{name} {version}":
        raise Failure(f"{name} --version: status {result.returncode}, stdout {result.stdout!r}, "
                      f"stderr {result.stderr!r}")
    for line, start in zip(lines[1:], ("CUDA backend: ", "CPU passes: ", "compiler: ")):
        if not line.startswith(start):
            raise Failure(f"{name} --version: {line!r} does not start with {start!r}")
    if result.stderr:
        raise Failure(f"{name} --version wrote to stderr: {result.stderr!r}")
    return lines


def check_install(build, version, programs, cmake):
    with tempfile.TemporaryDirectory() as scratch:
        root = os.path.join(scratch, "root")
        prefix = "/opt/vantrel"
        checked([cmake, "--install", build, "--prefix", prefix], env=dict(os.environ, DESTDIR=root))
        installed = os.path.join(root, prefix.lstrip("/"))
        found = {os.path.relpath(os.path.join(folder, name), installed)
                 for folder, _, names in os.walk(root) for name in names}
        if found != expected_files(programs):
            raise Failure(f"installed files {sorted(found)}, expected {sorted(expected_files(programs))}")

        # Without DISPLAY: vantrel must answer before it looks for a window.
        no_display = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "VANTREL_CPU_PASS")}
        for program in programs:
            path = os.path.join(installed, "bin", program)
            lines = check_version(path, version, no_display)
            compiled = lines[2].split(": ", 1)[1].split(" compiled")[0].split()
            used = re.search(r"this processor uses (\w+)$", lines[2])
            if "plain" not in compiled or not used or used.group(1) not in compiled:
                raise Failure(f"{program} --version: CPU passes line {lines[2]!r}")
            forced = check_version(path, version, dict(no_display, VANTREL_CPU_PASS="plain"))[2]
            if not forced.endswith("this processor uses plain (asked for by VANTREL_CPU_PASS)"):
                raise Failure(f"{program} --version with VANTREL_CPU_PASS=plain: {forced!r}")
            dynamic = run(["readelf", "-d", path]).stdout
            for paths in re.findall(r"\((?:RPATH|RUNPATH)\).*\[(.*)\]", dynamic):
                if os.path.realpath(build) in paths or os.path.abspath(build) in paths:
                    raise Failure(f"{program} is installed with a run-time path into the build folder: {paths}")

            # The manual page names every option --help lists, and the sections --help lacks.
            options = help_options(checked([path, "--help"], env=no_display))
            if "--version" not in options or "--help" not in options:
                raise Failure(f"{program} --help lists {sorted(options)}")
            page = man_text(os.path.join(installed, "share/man/man1", program + ".1.gz"))
            for word in sorted(options) + [".SH \"EXIT STATUS\"", ".SH ENVIRONMENT", "VANTREL_CPU_PASS", "DISPLAY",
                                           ".SH FILES", ".SH EXAMPLES", f"{program} {version}"]:
                if not re.search(r"(?<![\w-])" + re.escape(word) + r"(?![\w-])", page):
                    raise Failure(f"manual page {program}(1) does not name {word!r}")

        # A render from the installed program, in a folder of its own.
        render = os.path.join(installed, "bin", "vantrel-render")
        render_help = checked([render, "--help"], env=no_display)
        documents = os.path.join(installed, "share/doc/vantrel-render")
        if broken := broken_links(documents):
            raise Failure(f"installed documents link to files not installed: {broken}")
        with open(os.path.join(documents, "README.md")) as readme:
            rows = readme_option_rows(readme.read())
        if set(rows) != help_options(render_help) - {"-h"}:
            raise Failure(f"the README's option table names {sorted(rows)}; vantrel-render --help lists "
                          f"{sorted(help_options(render_help))}")
        for line in render_help.splitlines():
            option = re.match(r"\s+(?:-h,)?(--[\w-]+)", line)
            for fact in re.findall(r"\d+ to \d+|default [\w.]+", line) if option else []:
                if fact not in rows[option.group(1)]:
                    raise Failure(f"the README's row of {option.group(1)} does not say {fact!r} as --help does")
        work = os.path.join(scratch, "work")
        os.mkdir(work)
        result = run([render, "--frames", "2", "--seed", "1", "--backend", "cpu", "--quiet", "--output",
                      "box.png"], cwd=work, env=no_display)
        signature = b""
        if os.path.exists(os.path.join(work, "box.png")):
            with open(os.path.join(work, "box.png"), "rb") as image:
                signature = image.read(8)
        if result.returncode != 0 or signature != b"\x89PNG\r\n\x1a\n" or "2 frames" not in result.stderr:
            raise Failure(f"installed vantrel-render: status {result.returncode}, stderr {result.stderr!r}, "
                          f"file starts {signature!r}")


def owning_package(library):
    """The Debian package that holds `library` (a path), or None."""
    candidates = [library, os.path.realpath(library)]
    for path in list(candidates):
        # Merged /usr: the package may list the file under either name.
        candidates.append(path[4:] if path.startswith("/usr/") else "/usr" + path)
    for path in candidates:
        result = run(["dpkg", "-S", path])
        if result.returncode == 0:
            return result.stdout.split(":")[0].strip()
    return None


# The maintainer as Debian's tools take it from the environment when the package is made.
MAINTAINERS = [  # DEBFULLNAME, DEBEMAIL, the Maintainer field
    ("Ada Tester", "ada@example.org", "Ada Tester <ada@example.org>"),
    ("", "Bo Tester <bo@example.org>", "Bo Tester <bo@example.org>"),
]


# What a headless machine must not have to install: display, GL and GLUT libraries, and Mesa and
# LLVM behind them.
DISPLAY_LIBRARY = re.compile(r"^lib(GL|EGL|GLX|OpenGL|glut|X|xcb|drm|gbm|wayland)|mesa|llvm", re.IGNORECASE)


def make_packages(build, cpack, folder, full_name, email):
    """The packages cpack makes, by package name."""
    env = dict(os.environ, DEBFULLNAME=full_name, DEBEMAIL=email)
    checked([cpack, "-G", "DEB", "-B", folder, "--config", os.path.join(build, "CPackConfig.cmake")], env=env)
    return {name.split("_")[0]: os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(".deb")}


def check_package_files(deb, maintainer, version, program):
    """The file list, the changelog's version and signature, a hardened program."""
    listing = checked(["dpkg-deb", "-c", deb])
    files = {line.split()[-1].removeprefix("./") for line in listing.splitlines() if not line.startswith("d")}
    expected_list = {"usr/" + name for name in expected_files([program])} | {f"usr/share/doc/{program}/changelog.gz"}
    if files != expected_list:
        raise Failure(f"{program} package files {sorted(files)}, expected {sorted(expected_list)}")
    unpacked = tempfile.mkdtemp(dir=os.path.dirname(deb))
    checked(["dpkg-deb", "-x", deb, unpacked])
    with gzip.open(os.path.join(unpacked, f"usr/share/doc/{program}/changelog.gz"), "rt") as changelog:
        entries = changelog.read()
    if not entries.startswith(f"vantrel ({version}) ") or f"\n -- {maintainer}  " not in entries:
        raise Failure(f"changelog does not start with version {version} signed by {maintainer}:\n{entries}")
    path = os.path.join(unpacked, "usr/bin", program)
    dynamic = checked(["readelf", "--dynamic", "--dyn-syms", "--wide", path])
    if not re.search(r"\(FLAGS\).*\bBIND_NOW\b", dynamic) or not re.search(r"__\w+_chk\b", dynamic):
        raise Failure(f"{program} is not hardened: it needs BIND_NOW and fortified calls (__*_chk)")
    return path


def check_depends(program, path, depends_field):
    """Depends pull in every library the program loads (dpkg-shlibdeps under CPack passes over
    libraries that no package holds); vantrel-render's needs no display library, down the tree."""
    depends = {alternative.split()[0] for entry in depends_field.split(",")
               for alternative in entry.split("|") if alternative.strip()}
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", checked(["readelf", "-d", path]))
    loaded = checked(["ldd", path])
    resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", loaded, re.MULTILINE))
    # The dynamic loader is listed by its path alone.
    resolved |= {os.path.basename(p): p for p in re.findall(r"^\s*(/\S+) \(", loaded, re.MULTILINE)}
    for library in needed:
        where = resolved.get(library, "not found")
        owner = owning_package(where) if where != "not found" else None
        if owner is None or owner not in depends:
            source = f"package {owner}" if owner else "no Debian package"
            raise Failure(f"{program} needs {library} ({where}, from {source}), which the package's "
                          f"Depends ({depends_field}) do not pull in")
    if program != "vantrel-render":
        return
    tree = run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                "--no-breaks", "--no-replaces", "--no-enhances"] + sorted(depends)) if shutil.which("apt-cache") \
        else None
    pulled = set(depends) | set(needed)
    if tree is not None and tree.returncode == 0:
        pulled |= {line.strip("<>") for line in tree.stdout.splitlines() if not line.startswith(" ")}
    else:
        print("package: apt-cache cannot list what vantrel-render's Depends pull in; only they are checked")
    display = sorted(name for name in pulled if DISPLAY_LIBRARY.search(name))
    if display:
        raise Failure(f"vantrel-render, headless, needs display libraries: {display}")


def check_package(build, version, programs, cpack):
    if shutil.which("dpkg-deb") is None:
        print("package: dpkg-deb not found; skipped")
        return SKIPPED
    architecture = checked(["dpkg", "--print-architecture"]).strip()
    summary, paths = [], {}
    with tempfile.TemporaryDirectory() as scratch:
        for k, (full_name, email, maintainer) in enumerate(MAINTAINERS):
            debs = make_packages(build, cpack, os.path.join(scratch, str(k)), full_name, email)
            if sorted(debs) != sorted(programs):
                raise Failure(f"cpack made {sorted(debs.values())}, expected one package for each of {programs}")
            for program, deb in debs.items():
                found = checked(["dpkg-deb", "-f", deb, "Maintainer"]).strip()
                if found != maintainer:
                    raise Failure(f"DEBFULLNAME={full_name!r} DEBEMAIL={email!r}: {program} Maintainer {found!r}, "
                                  f"expected {maintainer!r}")
                paths[program] = check_package_files(deb, maintainer, version, program)
        for program, deb in debs.items():
            if os.path.basename(deb) != f"{program}_{version}_{architecture}.deb":
                raise Failure(f"package named {os.path.basename(deb)}")
            fields = {}
            for field in ("Package", "Version", "Architecture", "Maintainer", "Description", "Depends", "Section"):
                fields[field] = checked(["dpkg-deb", "-f", deb, field]).strip()
            expected = {"Package": program, "Version": version, "Architecture": architecture}
            for field, value in expected.items():
                if fields[field] != value:
                    raise Failure(f"{program} control field {field}: {fields[field]!r}, expected {value!r}")
            description = fields["Description"].splitlines()
            if len(description) < 2 or not description[0] or \
                    any(not line.startswith(" ") for line in description[1:]):
                raise Failure(f"Description needs a summary line and an indented long text: {fields['Description']!r}")
            if program == "vantrel" and f"vantrel-render (= {version})" not in fields["Depends"].split(", "):
                raise Failure(f"vantrel does not depend on vantrel-render {version}: {fields['Depends']}")
            check_depends(program, paths[program], fields["Depends"])
            summary.append(f"{program}: Depends: {fields['Depends']}")
        if shutil.which("lintian"):
            verdict = run(["lintian", "--fail-on", "error,warning"] + sorted(debs.values()))
            if verdict.returncode != 0:
                raise Failure(f"lintian:\n{verdict.stdout}{verdict.stderr}")
        else:
            print("package: lintian not installed; not run")
    print("\n".join(summary))
    return 0


def main():
    args = sys.argv[1:]
    tools = args[args.index("--") + 1:] if "--" in args else []
    args = args[:args.index("--")] if "--" in args else args
    if len(args) < 4 or args[0] not in ("destdir", "package") or len(tools) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    mode, build, version, programs = args[0], args[1], args[2], args[3:]
    try:
        if mode == "destdir":
            check_install(build, version, programs, tools[0])
            status = 0
        else:
            status = check_package(build, version, programs, tools[1])
    except (Failure, subprocess.SubprocessError, OSError) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    if status == 0:
        print(f"{mode}: ok")
    return status


if __name__ == "__main__":
    sys.exit(main())
