#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Builds the Debian package from a release build tree of its own (not the test build, which
carries the sanitizers), unpacks it into a scratch root and checks what a distribution and a
user would get: lintian's verdict, the hardening of the executable, the menu entry, the icons at
every size, the manual page, the documentation, the AppStream metainfo, and dependencies on the
Qt 6 runtime packages.

Usage: package_check.py --source-dir DIR --work-dir DIR [--cmake CMAKE] [--cpack CPACK]
                        [--generator G]
"""

import argparse
import glob
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

EXECUTABLES = ("usr/bin/Tavrick", "usr/bin/tavrick-sync")
# The Qt libraries the window needs; each must be linked and its package depended on.
QT_LIBRARIES = ("libQt6Core.so.6", "libQt6Gui.so.6", "libQt6Widgets.so.6", "libQt6Network.so.6")
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
# Lintian runs `man --warnings` on the manual pages.
FILES = ("usr/share/man/man1/Tavrick.1.gz", "usr/share/man/man1/tavrick-sync.1.gz",
         "usr/share/doc/tavrick/README.md", "usr/share/doc/tavrick/changelog.gz",
         "usr/share/doc/tavrick/copyright", "usr/share/doc/tavrick/examples/tavrick-sync.service",
         "usr/share/doc/tavrick/examples/tavrick-sync.timer")
# hardening-check's line for each protection, and the compiler flag that asks for it where the
# release's dpkg-buildflags gives one; the lines without a flag are always expected.
HARDENING_LINES = {
    "Position Independent Executable": None,
    "Stack protected": None,
    "Fortify Source functions": None,
    "Read-only relocations": None,
    "Immediate binding": None,
    "Stack clash protection": "-fstack-clash-protection",
    "Control flow integrity": "-fcf-protection",
    "Branch Protection": "-mbranch-protection",
}

# Lintian tags the package may carry, each with the reason it is accepted. Any other tag that
# `lintian -E -I --pedantic` reports fails the check.
LINTIAN_ALLOWED = {
    # Lintian of Debian 13 runs the AppStream validator and fails on its warnings;
    # metainfo_faults runs the validator itself and accepts nothing but APPSTREAM_ALLOWED.
    "appstream-metadata-validation-failed": "the validator's own check below decides",
}

# AppStream warnings the metainfo may carry, each with the reason it is accepted. Newer
# validators warn of tags older ones do not know, so they are read from the output, not passed
# as --override.
APPSTREAM_ALLOWED = {
    "url-homepage-missing": "the project has no web site of its own yet; a placeholder address "
                            "would send software centres nowhere",
}

XML_LANG = "{http://www.w3.org/XML/1998/namespace}lang"


class PackageFault(Exception):
    pass


def run(argv, timeout=120, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)
    if result.returncode != 0:
        raise PackageFault(f"{' '.join(argv)} failed with code {result.returncode}:\n"
                           f"{result.stdout[-3000:]}{result.stderr[-3000:]}")
    return result.stdout


def pack(args, build_dir, out_dir):
    """Packs the built tree into out_dir; returns the package's path."""
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    environment = {name: value for name, value in os.environ.items()
                   if name != "SOURCE_DATE_EPOCH"}
    run([args.cpack, "--config",
         os.path.join(build_dir, "CPackConfig.cmake"), "-G", "DEB", "-B", out_dir], timeout=300,
        env=environment)
    packages = [name for name in os.listdir(out_dir) if name.endswith(".deb")]
    if len(packages) != 1:
        raise PackageFault(f"cpack left {packages or 'no package'} in {out_dir}")
    return os.path.join(out_dir, packages[0])


def sha256(path):
    with open(path, "rb") as package:
        return hashlib.sha256(package.read()).hexdigest()


def build_package(args, build_dir, out_dir):
    """Configures and builds a release tree with only what the package holds, then packs it."""
    generator = ["-G", args.generator] if args.generator and not os.path.isfile(
        os.path.join(build_dir, "CMakeCache.txt")) else []
    run([args.cmake, "-S", args.source_dir, "-B", build_dir, *generator,
         "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTAVRICK_SANITIZE=OFF", "-DTAVRICK_HARDEN=ON",
         "-DTAVRICK_BUILD_TESTS=OFF"], timeout=300)
    run([args.cmake, "--build", build_dir, "-j", str(os.cpu_count() or 2),
         "--target", "Tavrick", "tavrick-sync", "tavrick_install_files"], timeout=1200)
    return pack(args, build_dir, out_dir)


def lintian_faults(package):
    result = subprocess.run(["lintian", "-i", "-E", "-I", "--pedantic", package],
                            capture_output=True, text=True, timeout=300)
    print("lintian -i -E -I --pedantic:\n" + (result.stdout.strip() or "(no tags)"))
    faults = []
    for line in result.stdout.splitlines():
        tag = re.match(r"^([EWIPX]): \S+?(?: \w+)?: (\S+)", line)
        if tag and tag.group(2) not in LINTIAN_ALLOWED:
            faults.append(f"lintian: {line.strip()}")
    if result.returncode != 0 and not faults:
        faults.append(f"lintian failed with code {result.returncode}: {result.stderr.strip()}")
    return faults


def expected_hardening():
    """The hardening-check lines this release's dpkg-buildflags asks for, as the build uses them."""
    environment = dict(os.environ, DEB_BUILD_MAINT_OPTIONS="hardening=+all")
    flags = " ".join(run(["dpkg-buildflags", "--get", name], env=environment)
                     for name in ("CXXFLAGS", "LDFLAGS"))
    return {line for line, flag in HARDENING_LINES.items() if flag is None or flag in flags}


def hardening_faults(executable, expected):
    """A protection the build asks for that hardening-check finds missing ("no"). Its other
    verdicts pass: "unknown" means nothing in the code needed it (no large stack frame, no
    protectable libc call), and lines for flags this release does not give are not asked for."""
    result = subprocess.run(["hardening-check", executable], capture_output=True, text=True)
    print(f"hardening-check {os.path.basename(executable)}:\n" + result.stdout.strip())
    verdicts = dict(re.findall(r"^[ \t]*([^:\n]+):[ \t]*(.*)$", result.stdout, re.MULTILINE))
    faults = []
    for line in sorted(expected):
        verdict = verdicts.get(line)
        if line == "Control flow integrity" and verdict and verdict.startswith("no"):
            # hardening-check reads the program's property note, which the linker drops when
            # any object it links lacks one; Debian 13's start-up objects do, so even its own
            # /usr/bin/ls is "no". What -fcf-protection puts in the code is the branch targets.
            if re.search(r"\bendbr(64|32)\b", run(["objdump", "-d", executable], timeout=300)):
                continue
        if verdict is None or verdict.startswith("no"):
            faults.append(f"hardening-check {os.path.basename(executable)}: {line}: {verdict}")
    return faults


def dependencies(package):
    depends = run(["dpkg-deb", "--field", package, "Depends"]).strip()
    # "libqt6core6 (>= 6.4.2), libc6 (>= 2.34) | libfoo" -> {"libqt6core6", "libc6", ...}
    names = set()
    for clause in depends.split(","):
        for alternative in clause.split("|"):
            if alternative.strip():
                names.add(alternative.split("(")[0].split(":")[0].strip())
    return depends, names


def linked_libraries(executable):
    dynamic = run(["readelf", "--dynamic", executable])
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def owning_packages(library):
    """The installed packages that ship `library` for this machine's architecture."""
    multiarch = run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"]).strip()
    owners = run(["dpkg-query", "--search", f"*/{multiarch}/{library}"])
    return {name.split(":")[0].strip() for line in owners.splitlines()
            for name in line.split(": ", 1)[0].split(",")}


def dependency_faults(package, executables):
    """Every library an executable links must come from a package the Depends names."""
    depends, names = dependencies(package)
    faults = []
    linked = set()
    for executable in executables:
        linked |= set(linked_libraries(executable))
    for library in QT_LIBRARIES:
        if library not in linked:
            faults.append(f"the executables do not link {library}")
    for library in sorted(linked):
        owners = owning_packages(library)
        if not owners & names:
            faults.append(f"Depends lacks {' or '.join(sorted(owners))} ({library}): {depends!r}")
    if any(name.endswith("-dev") for name in names):
        faults.append(f"Depends names development packages: {depends!r}")
    return faults


def desktop_entry(path):
    keys, in_group = {}, False
    with open(path, encoding="utf-8") as entry:
        for line in entry.read().splitlines():
            if line.startswith("["):
                in_group = line.strip() == "[Desktop Entry]"
            elif in_group and "=" in line and not line.startswith("#"):
                name, value = line.split("=", 1)
                keys[name.strip()] = value.strip()
    return keys


def png_size(path):
    with open(path, "rb") as image:
        header = image.read(24)
    if header[:8] != b"\x89PNG\r\n\x1a\n" or header[12:16] != b"IHDR":
        raise PackageFault(f"{path} is not a PNG image")
    return struct.unpack(">II", header[16:24])


def executable_faults(root, relative, expected_hardening):
    executable = os.path.join(root, relative)
    if not os.path.isfile(executable) or not os.access(executable, os.X_OK):
        return [f"{relative} is missing or not executable"]
    with open(executable, "rb") as binary:
        if binary.read(4) != b"\x7fELF":
            return [f"{relative} is not an ELF executable"]
    if "__asan_init" in run(["readelf", "--dyn-syms", "--wide", executable]):
        return [f"{relative} is built with AddressSanitizer"]
    return hardening_faults(executable, expected_hardening)


def desktop_entry_faults(entry_path):
    if not os.path.isfile(entry_path):
        return ["usr/share/applications/Tavrick.desktop is missing"]
    faults = []
    entry = desktop_entry(entry_path)
    expected = {"Type": "Application", "Name": "Tavrick", "Exec": "/usr/bin/Tavrick",
                "TryExec": "/usr/bin/Tavrick", "Icon": "tavrick", "Terminal": "false"}
    for key, value in expected.items():
        if entry.get(key) != value:
            faults.append(f"Tavrick.desktop: {key}={entry.get(key)!r}, expected {value!r}")
    if "Utility" not in entry.get("Categories", "").split(";"):
        faults.append(f"Tavrick.desktop: Categories={entry.get('Categories')!r} lacks Utility")
    result = subprocess.run(["desktop-file-validate", entry_path], capture_output=True, text=True)
    if result.returncode != 0 or result.stdout.strip():
        faults.append("desktop-file-validate: " + result.stdout.strip())
    return faults


def icon_faults(root):
    faults = []
    for size in ICON_SIZES:
        relative = f"usr/share/icons/hicolor/{size}x{size}/apps/tavrick.png"
        icon = os.path.join(root, relative)
        if not os.path.isfile(icon):
            faults.append(f"{relative} is missing")
        elif png_size(icon) != (size, size):
            faults.append(f"{relative} is {png_size(icon)}")
    return faults


def metainfo_faults(root):
    found = glob.glob(os.path.join(root, "usr/share/metainfo/*.metainfo.xml"))
    if len(found) != 1:
        return [f"usr/share/metainfo holds {len(found)} metainfo files, not one"]
    path = found[0]
    faults = []
    result = subprocess.run(["appstreamcli", "validate", "--no-net", "--pedantic", path],
                            capture_output=True, text=True)
    print("appstreamcli validate --no-net --pedantic:\n" + result.stdout.strip())
    issues = re.findall(r"^([EW]): \S+: (\S+)", result.stdout, re.MULTILINE)
    faults += [f"appstreamcli validate: {severity}: {tag}" for severity, tag in issues
               if tag not in APPSTREAM_ALLOWED]
    if result.returncode != 0 and not issues:
        faults.append("appstreamcli validate: " + result.stdout.strip() + result.stderr.strip())
    component = ElementTree.parse(path).getroot()
    component_id = component.findtext("id")
    if os.path.basename(path) != f"{component_id}.metainfo.xml":
        faults.append(f"{os.path.basename(path)} is not named after its id {component_id}")
    for tag in ("name", "summary"):
        languages = {element.get(XML_LANG) for element in component.findall(tag)
                     if (element.text or "").strip()}
        for language in (None, "zh_CN"):
            if language not in languages:
                faults.append(f"metainfo: no {tag} in {language or 'English'}")
    for path, what in (("description/p", "description"), ("content_rating", "content rating"),
                       ("developer/name", "developer")):
        if component.find(path) is None:
            faults.append(f"metainfo: no {what}")
    launchable = component.findtext("launchable[@type='desktop-id']") or "?"
    if not os.path.isfile(os.path.join(root, "usr/share/applications", launchable)):
        faults.append(f"metainfo: launchable {launchable!r} is not the package's desktop entry")
    return faults


def check_package(package, root):
    shutil.rmtree(root, ignore_errors=True)
    run(["dpkg-deb", "-x", package, root])

    faults = lintian_faults(package)
    hardening = expected_hardening()
    for relative in EXECUTABLES:
        faults += executable_faults(root, relative, hardening)
    faults += desktop_entry_faults(os.path.join(root, "usr/share/applications/Tavrick.desktop"))
    faults += icon_faults(root)
    faults += [f"{name} is missing" for name in FILES
               if not os.path.isfile(os.path.join(root, name))]
    faults += metainfo_faults(root)
    executables = [os.path.join(root, name) for name in EXECUTABLES
                   if os.path.isfile(os.path.join(root, name))]
    faults += dependency_faults(package, executables)

    print(f"package: {os.path.basename(package)}\nDepends: {dependencies(package)[0]}")
    for parent, _, files in sorted(os.walk(root)):
        for name in sorted(files):
            print("  " + os.path.relpath(os.path.join(parent, name), root))
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--cmake", default="cmake", help="the build's CMake")
    parser.add_argument("--cpack", default="cpack", help="the cpack of the build's CMake")
    parser.add_argument("--generator", help="CMake generator of the release tree")
    args = parser.parse_args()
    for tool, package in ((args.cmake, "cmake"), (args.cpack, "cmake"), ("dpkg-deb", "dpkg"),
                          ("dpkg-shlibdeps", "dpkg-dev"), ("file", "file"),
                          ("readelf", "binutils"), ("lintian", "lintian"),
                          ("hardening-check", "devscripts"), ("appstreamcli", "appstream"),
                          ("desktop-file-validate", "desktop-file-utils")):
        if shutil.which(tool) is None:
            print(f"PACKAGE CHECK SET-UP FAILED: '{tool}' is not installed (package {package})")
            return 2
    # The release tree stays between runs, so a second run rebuilds only what changed.
    build_dir = os.path.join(args.work_dir, "release")
    out_dir = os.path.join(args.work_dir, "package")
    try:
        package = build_package(args, build_dir, out_dir)
        # Packed again from the same tree, later: every time in it is the changelog's.
        again = pack(args, build_dir, os.path.join(args.work_dir, "package-again"))
        faults = check_package(package, os.path.join(out_dir, "root"))
        if sha256(package) != sha256(again):
            faults.append(f"two builds differ: sha256 {sha256(package)} and {sha256(again)}")
    except (PackageFault, subprocess.TimeoutExpired) as fault:
        print(f"PACKAGE CHECK FAILED: {fault}")
        return 1
    if faults:
        print("PACKAGE CHECK FAILED:\n  " + "\n  ".join(faults))
        return 1
    print("PACKAGE CHECK PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
