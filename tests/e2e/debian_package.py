# SPDX-License-Identifier: BSD-2-Clause
"""The Debian package of this source tree, built as a packager builds it.

dpkg-buildpackage writes its results beside the source tree, so build()
builds a copy of the tree made below the build folder, never the tree
itself: nothing is written outside the build folder. The build runs the
unit tests, as every package build does. One build serves the whole test
process.
"""

import glob
import os
import shutil
import subprocess
import time

import machine
import netlab

OUT = os.path.join(machine.BUILD_DIR, "package")
_built = []


def _source_files(folder, names):
    """What the copy leaves out: build folders and version control at the
    top, compiled Python anywhere."""
    left_out = {n for n in names if n == "__pycache__" or n.endswith(".pyc")}
    if os.path.realpath(folder) == os.path.realpath(netlab.ROOT):
        left_out |= {n for n in names if n.startswith(("build", "obj-")) or n == ".git"}
    return left_out


def build(timeout=900.0):
    """Builds the binary package once; returns the path of its .changes file."""
    if _built:
        return _built[0]
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
    _built.append(changes[0])
    return changes[0]


def deb(changes):
    """The package itself (not its debug symbols) listed in a .changes file."""
    found = glob.glob(os.path.join(os.path.dirname(changes), "ferrin_*.deb"))
    if len(found) != 1:
        raise AssertionError("expected one ferrin .deb beside %s, found %s" % (changes, found))
    return found[0]


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
