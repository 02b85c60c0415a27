#!/usr/bin/env python3
"""Builds the Debian package from a configured build tree, unpacks it into a scratch root and
checks what a user would get from installing it: the executable, the menu entry, the icon and
dependencies on the Qt 6 runtime packages.

Usage: package_check.py --build-dir DIR --work-dir DIR
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

# At least these; beyond them, every Qt library the executable links must have its package.
QT_RUNTIME_PACKAGES = ("libqt6core6", "libqt6widgets6")


class PackageFault(Exception):
    pass


def run(argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise PackageFault(f"{' '.join(argv)} failed with code {result.returncode}:\n"
                           f"{result.stdout[-3000:]}{result.stderr[-3000:]}")
    return result.stdout


def build_package(cpack, build_dir, work_dir):
    run([cpack, "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-G", "DEB",
         "-B", work_dir], timeout=240)
    packages = [name for name in os.listdir(work_dir) if name.endswith(".deb")]
    if len(packages) != 1:
        raise PackageFault(f"cpack left {packages or 'no package'} in {work_dir}")
    return os.path.join(work_dir, packages[0])


def dependencies(package):
    depends = run(["dpkg-deb", "--field", package, "Depends"]).strip()
    # "libqt6core6 (>= 6.4.2), libc6 (>= 2.34) | libfoo" -> {"libqt6core6", "libc6", ...}
    names = set()
    for clause in depends.split(","):
        for alternative in clause.split("|"):
            if alternative.strip():
                names.add(alternative.split("(")[0].split(":")[0].strip())
    return depends, names


def linked_packages(executable):
    """The installed packages that ship the Qt libraries `executable` links."""
    dynamic = run(["readelf", "--dynamic", executable])
    libraries = re.findall(r"\(NEEDED\)\s+Shared library: \[(libQt6[^\]]+)\]", dynamic)
    packages = set()
    for library in libraries:
        owners = run(["dpkg-query", "--search", f"*/{library}"])
        packages.add(owners.split(":", 1)[0].strip())
    return packages


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


def check_package(package, root):
    faults = []
    shutil.rmtree(root, ignore_errors=True)
    run(["dpkg-deb", "-x", package, root])

    executable = os.path.join(root, "usr", "bin", "Tavrick")
    if not os.path.isfile(executable) or not os.access(executable, os.X_OK):
        faults.append("usr/bin/Tavrick is missing or not executable")
    else:
        with open(executable, "rb") as binary:
            if binary.read(4) != b"\x7fELF":
                faults.append("usr/bin/Tavrick is not an ELF executable")

    entry_path = os.path.join(root, "usr", "share", "applications", "Tavrick.desktop")
    if not os.path.isfile(entry_path):
        faults.append("usr/share/applications/Tavrick.desktop is missing")
    else:
        entry = desktop_entry(entry_path)
        expected = {"Type": "Application", "Name": "Tavrick", "Exec": "/usr/bin/Tavrick",
                    "Icon": "tavrick", "Terminal": "false"}
        for key, value in expected.items():
            if entry.get(key) != value:
                faults.append(f"Tavrick.desktop: {key}={entry.get(key)!r}, expected {value!r}")
        if "Utility" not in entry.get("Categories", "").split(";"):
            faults.append(f"Tavrick.desktop: Categories={entry.get('Categories')!r} lacks Utility")
        if shutil.which("desktop-file-validate"):
            result = subprocess.run(["desktop-file-validate", entry_path], capture_output=True,
                                    text=True)
            if result.returncode != 0 or "error" in result.stdout:
                faults.append("desktop-file-validate: " + result.stdout.strip())

    icon = os.path.join(root, "usr", "share", "icons", "hicolor", "32x32", "apps",
                        "tavrick.png")
    if not os.path.isfile(icon):
        faults.append("usr/share/icons/hicolor/32x32/apps/tavrick.png is missing")
    elif png_size(icon) != (32, 32):
        faults.append(f"the icon is {png_size(icon)}, not 32x32")

    depends, names = dependencies(package)
    needed = set(QT_RUNTIME_PACKAGES) | {"libc6", "libstdc++6"}
    if os.path.isfile(executable):
        needed |= linked_packages(executable)
    for name in sorted(needed - names):
        faults.append(f"Depends lacks {name}: {depends!r}")
    if any(name.endswith("-dev") for name in names):
        faults.append(f"Depends names development packages: {depends!r}")

    print(f"package: {os.path.basename(package)}\nDepends: {depends}")
    for parent, _, files in sorted(os.walk(root)):
        for name in sorted(files):
            print("  " + os.path.relpath(os.path.join(parent, name), root))
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--cpack", default="cpack", help="the cpack of the build's CMake")
    args = parser.parse_args()
    for tool, package in ((args.cpack, "cmake"), ("dpkg-deb", "dpkg"),
                          ("dpkg-shlibdeps", "dpkg-dev"), ("file", "file"),
                          ("readelf", "binutils")):
        if shutil.which(tool) is None:
            print(f"PACKAGE CHECK SET-UP FAILED: '{tool}' is not installed (package {package})")
            return 2
    shutil.rmtree(args.work_dir, ignore_errors=True)
    os.makedirs(args.work_dir)
    try:
        package = build_package(args.cpack, args.build_dir, args.work_dir)
        faults = check_package(package, os.path.join(args.work_dir, "root"))
    except PackageFault as fault:
        print(f"PACKAGE CHECK FAILED: {fault}")
        return 1
    if faults:
        print("PACKAGE CHECK FAILED:\n  " + "\n  ".join(faults))
        return 1
    print("PACKAGE CHECK PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
