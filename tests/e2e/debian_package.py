# SPDX-License-Identifier: BSD-2-Clause
"""The Debian package of this source tree, built as a packager builds it.

dpkg-buildpackage writes its results beside the source tree, so build()
builds a copy of the tree made below the build folder, never the tree
itself: nothing is written outside the build folder. The build runs the
unit tests, as every package build does. A package stays in use as long as
the tree is the one it was built from (every file copied, by size and
modification time), for any number of test processes: CTest makes it once,
in e2e_debian_package, beside the other tests, before test_systemd needs it.
Run as a program, this builds it.
"""

import glob
import hashlib
import os
import re
import shutil
import subprocess
import time

import machine
import netlab

OUT = os.path.join(machine.BUILD_DIR, "package")
FINGERPRINT = os.path.join(OUT, "source.sha256")


def _source_files(folder, names):
    """What the copy leaves out: build folders and version control at the
    top, compiled Python anywhere."""
    left_out = {n for n in names if n == "__pycache__" or n.endswith(".pyc")}
    if os.path.realpath(folder) == os.path.realpath(netlab.ROOT):
        left_out |= {n for n in names if n.startswith(("build", "obj-")) or n == ".git"}
    return left_out


def fingerprint():
    """What a package is made from: the path, size and modification time of
    every file the copy takes."""
    digest = hashlib.sha256()
    for folder, folders, files in os.walk(netlab.ROOT):
        left_out = _source_files(folder, folders + files)
        folders[:] = sorted(f for f in folders if f not in left_out)
        for name in sorted(f for f in files if f not in left_out):
            path = os.path.join(folder, name)
            status = os.lstat(path)
            digest.update(("%s %d %d\n" % (os.path.relpath(path, netlab.ROOT), status.st_size,
                                            status.st_mtime_ns)).encode())
    return digest.hexdigest()


def build(timeout=900.0):
    """Builds the binary package of the tree as it is, unless it is built
    already; returns the path of its .changes file."""
    os.makedirs(machine.BUILD_DIR, exist_ok=True)
    with open(os.path.join(machine.BUILD_DIR, "package.lock"), "w") as lock:
        machine.wait_for_lock(lock, timeout, "another test building the package")
        return _build_locked(timeout)


def _build_locked(timeout):
    source = fingerprint()
    changes = glob.glob(os.path.join(OUT, "ferrin_*.changes"))
    if len(changes) == 1 and os.path.exists(FINGERPRINT):
        with open(FINGERPRINT) as f:
            if f.read() == source:
                print("package of this tree, built before: %s" % changes[0])
                return changes[0]
    started = time.monotonic()
    if os.path.lexists(OUT):
        machine.remove_tree(OUT)
    tree = os.path.join(OUT, "ferrin")
    shutil.copytree(netlab.ROOT, tree, symlinks=True, ignore=_source_files)
    env = dict(os.environ)
    env.setdefault("DEB_BUILD_OPTIONS", "parallel=%d" % (os.cpu_count() or 1))
    log = os.path.join(OUT, "build.log")
    with open(log, "wb") as out:
        result = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=tree, env=env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                timeout=timeout)
    if result.returncode != 0:
        with open(log, errors="replace") as f:
            raise AssertionError("dpkg-buildpackage failed (%d), log %s:\n%s"
                                 % (result.returncode, log, f.read()[-4000:]))
    changes = glob.glob(os.path.join(OUT, "ferrin_*.changes"))
    if len(changes) != 1:
        raise AssertionError("expected one .changes file in %s, found %s" % (OUT, changes))
    print("package built in %.0f s: %s" % (time.monotonic() - started, changes[0]))
    with open(FINGERPRINT, "w") as f:
        f.write(source)
    return changes[0]


def deb(changes):
    """The package itself (not its debug symbols) listed in a .changes file."""
    found = glob.glob(os.path.join(os.path.dirname(changes), "ferrin_*.deb"))
    if len(found) != 1:
        raise AssertionError("expected one ferrin .deb beside %s, found %s" % (changes, found))
    return found[0]


def version(deb_path):
    return netlab.run(["dpkg-deb", "--field", deb_path, "Version"]).stdout.strip()


def project_version():
    """The version CMake builds (project(... VERSION ...)), which
    debian/changelog's newest entry must name."""
    with open(os.path.join(netlab.ROOT, "CMakeLists.txt")) as f:
        return re.search(r"^project\(ferrin VERSION ([0-9.]+)", f.read(), re.M).group(1)


def file_list(deb_path):
    """dpkg -c of the package."""
    return netlab.run(["dpkg-deb", "--contents", deb_path]).stdout


def conffiles(deb_path):
    result = netlab.run(["dpkg-deb", "--info", deb_path, "conffiles"], check=False)
    return set(result.stdout.split()) if result.returncode == 0 else set()


def etc_files(deb_path):
    """The files (not folders) the package puts below /etc."""
    files = set()
    for line in file_list(deb_path).splitlines():
        fields = line.split()
        if fields and not fields[0].startswith("d") and fields[5].startswith("./etc/"):
            files.add(fields[5][1:])
    return files


def lintian(changes):
    """lintian's findings on the package, every level shown; returns
    (exit status with --fail-on error, output)."""
    result = netlab.run(["lintian", "--fail-on", "error", "--display-info",
                         "--pedantic", changes], check=False, timeout=600)
    output = "\n".join(line for line in (result.stdout + result.stderr).splitlines()
                       if "running with root privileges is not recommended" not in line)
    return result.returncode, output


if __name__ == "__main__":
    build()
