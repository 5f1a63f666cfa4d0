# SPDX-License-Identifier: BSD-2-Clause
"""A Debian 12 (bookworm) system booted with its own systemd, for tests of
what an operator installs and runs under systemd.

The root file system is made once by debootstrap and kept in the build
folder (root_file_system). Every boot lays a throw-away layer over it
(--volatile=overlay), so whatever a test installs or changes is gone when
the machine stops, and the next boot starts from the same files.

A Machine is booted by systemd-nspawn inside a network namespace of a
netlab.Lab, with the tun device and CAP_NET_ADMIN, and is powered off when
the lab closes, also when the test fails. The namespace is the test's: it
links it to other namespaces and may configure it from outside. Commands
run inside through nsenter, as root, with a plain environment. Every wait
is bounded. Where systemd-nspawn cannot boot at all (the machine's systemd
never starts), the test is skipped with nspawn's own words.

Each machine gets a control group of its own (own_cgroup). nspawn puts the
machine below the cgroup it was started in; on a host whose processes all
sit in one cgroup (no systemd as PID 1 to give each session its own), every
machine booted at the same time would share one tree, and one machine's
systemd would remove or kill the other's unit cgroups under it: units then
fail with status=219/CGROUP.
"""

import fcntl
import os
import signal
import subprocess
import sys
import time
import unittest

import netlab

SUITE = "bookworm"
MIRROR = "http://deb.debian.org/debian"
# Beside minbase: systemd as PID 1 (dbus for its tools), ip and ping for
# tunnels, a DHCP client for scenarios that lease addresses, and what the
# package recommends for the LAN (radvd, nftables).
PACKAGES = ("systemd", "systemd-sysv", "dbus", "iproute2", "iputils-ping", "isc-dhcp-client",
            "radvd", "nftables")

BUILD_DIR = os.environ.get("FERRIN_BUILD_DIR") or os.path.join(netlab.ROOT, "build")
PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def remove_tree(path):
    """Removes path, leaving alone anything mounted below it (a debootstrap
    that was stopped may leave /proc mounted in its target)."""
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split()[4] for line in f]
    for mount in sorted((m for m in mounts if m.startswith(path + "/")), reverse=True):
        subprocess.run(["umount", "--lazy", mount], capture_output=True, timeout=30)
    netlab.run(["rm", "-rf", "--one-file-system", path], timeout=300)


def wait_for_lock(lock, timeout, what):
    """Takes the flock of the open file lock, which what holds, once it lets go."""
    def locked():
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True
    netlab.wait_for(locked, timeout, interval=1, what=what)


def root_file_system(cache=None, timeout=900.0):
    """The folder of a bookworm root file system with PACKAGES, made by
    debootstrap on the first call and found in cache (by default in the
    build folder) on every later one. Two test processes never make it at
    once."""
    cache = cache or os.path.join(BUILD_DIR, "machines")
    os.makedirs(cache, exist_ok=True)
    root = os.path.join(cache, SUITE)
    stamp = root + ".packages"
    wanted = " ".join(PACKAGES) + "\n"
    with open(os.path.join(cache, "lock"), "w") as lock:
        wait_for_lock(lock, timeout, "another test making " + root)
        if os.path.isdir(root) and os.path.exists(stamp):
            with open(stamp) as f:
                if f.read() == wanted:
                    print("root file system: %s (cached)" % root)
                    return root
        started = time.monotonic()
        partial = root + ".partial"
        for path in (root, partial):
            if os.path.lexists(path):
                remove_tree(path)
        log = os.path.join(cache, "debootstrap.log")
        with open(log, "wb") as out:
            made = subprocess.run(["debootstrap", "--variant=minbase",
                                   "--include=" + ",".join(PACKAGES), SUITE, partial, MIRROR],
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=timeout)
        if made.returncode != 0:
            with open(log, errors="replace") as f:
                tail = f.read()[-3000:]
            raise AssertionError("debootstrap failed (%d), log %s:\n%s"
                                 % (made.returncode, log, tail))
        # The downloaded packages are of no further use.
        netlab.run(["find", os.path.join(partial, "var/cache/apt/archives"), "-name", "*.deb",
                    "-delete"])
        os.rename(partial, root)
        with open(stamp, "w") as f:
            f.write(wanted)
        print("root file system: %s made by debootstrap in %.0f s"
              % (root, time.monotonic() - started))
        return root


def _cgroup_mounts():
    """(mount point, its controllers' field in /proc/self/cgroup) of the
    hierarchies systemd puts a machine in: the unified one ("") and, on a
    host that mounts both, the named systemd one."""
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            kind, options = fields[fields.index("-") + 1], fields[-1].split(",")
            if kind == "cgroup2":
                found.append((fields[4], ""))
            elif kind == "cgroup" and "name=systemd" in options:
                found.append((fields[4], "name=systemd"))
    return found


def own_cgroup(name):
    """Makes a control group called name below this process's own in each
    of those hierarchies; returns their folders, or [] where none can be made
    (a read-only cgroup file system: machines then share their parent's)."""
    with open("/proc/self/cgroup") as f:
        own = {controllers: path for _, controllers, path in
               (line.rstrip("\n").split(":", 2) for line in f)}
    folders = []
    for mount, controllers in _cgroup_mounts():
        if controllers not in own:
            continue
        folder = os.path.join(mount, own[controllers].lstrip("/"), name)
        try:
            os.mkdir(folder)
        except OSError as error:
            print("no control group of its own for %s: %s" % (name, error))
            remove_cgroups(folders)
            return []
        folders.append(folder)
    return folders


def enter_cgroups(folders):
    """For a child between fork and exec: moves it into folders."""
    for folder in folders:
        with open(os.path.join(folder, "cgroup.procs"), "w") as f:
            f.write("0")


def remove_cgroups(folders, timeout=10.0):
    """Removes the cgroup folders and all below them, deepest first, once their
    processes (a stopped machine's last ones) have ended; those still there
    are the machine's own and are killed."""
    for top in folders:
        if not os.path.isdir(top):
            continue
        for folder, _, _ in sorted(os.walk(top), key=lambda entry: -entry[0].count("/")):
            def removed():
                try:
                    with open(os.path.join(folder, "cgroup.procs")) as f:
                        for pid in f.read().split():
                            try:
                                os.kill(int(pid), signal.SIGKILL)
                            except ProcessLookupError:
                                pass
                    os.rmdir(folder)
                except FileNotFoundError:
                    pass
                except OSError:
                    return False
                return True
            netlab.wait_for(removed, timeout, interval=0.05, what="control group %s to empty" % folder)


def container_init(nspawn_pid):
    """The PID of the machine's systemd, once nspawn has started it."""
    try:
        with open("/proc/%d/task/%d/children" % (nspawn_pid, nspawn_pid)) as f:
            children = [int(pid) for pid in f.read().split()]
    except OSError:
        return None
    for pid in children:
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().strip() == "systemd":
                    return pid
        except OSError:
            pass
    return None


class Machine:
    """A bookworm system booted in namespace (a netlab Namespace) from root."""

    def __init__(self, lab, namespace, root, boot_timeout=120.0):
        self.name = netlab.unique_name("box")
        self.console_path = os.path.join(lab.tmpdir, "console-" + self.name)
        self.init_pid = None
        self.cgroups = own_cgroup("ferrin-" + self.name)
        lab.on_close(lambda: remove_cgroups(self.cgroups))
        cmd = ["systemd-nspawn", "--boot", "--register=no", "--keep-unit", "--volatile=overlay",
               "--network-namespace-path=/run/netns/" + namespace.name,
               "--bind=/dev/net/tun", "--capability=CAP_NET_ADMIN",
               "--directory=" + root, "--machine=" + self.name]
        started = time.monotonic()
        with open(self.console_path, "wb") as console:
            self.process = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=console,
                                            stderr=subprocess.STDOUT, start_new_session=True,
                                            preexec_fn=lambda: enter_cgroups(self.cgroups))
        lab.on_close(self.power_off)
        self.wait_booted(boot_timeout)
        self.boot_seconds = time.monotonic() - started

    def console(self):
        with open(self.console_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_booted(self, timeout):
        def booted():
            if self.process.poll() is not None:
                return "ended"
            if self.init_pid is None:
                self.init_pid = container_init(self.process.pid)
                if self.init_pid is None:
                    return None
            out = self.run("systemctl", "is-system-running", check=False, timeout=10).stdout
            return out.strip() if out.strip() in ("running", "degraded") else None

        state = netlab.wait_for(booted, timeout, interval=0.5, what=lambda: "the machine to boot:\n"
                                + self.console()[-3000:])
        if state == "ended":
            if "running in system mode" not in self.console():
                raise unittest.SkipTest("systemd-nspawn cannot boot a machine here:\n"
                                        + self.console()[-1500:])
            raise AssertionError("the machine stopped while booting (status %d):\n%s"
                                 % (self.process.returncode, self.console()[-3000:]))
        if state == "degraded":
            print("booted degraded:\n" + self.run("systemctl", "--failed", "--no-pager").stdout)

    def command(self, *cmd, env=None):
        """The command line that runs cmd inside the machine, as root."""
        variables = ["PATH=" + PATH, "LANG=C.UTF-8"]
        variables += ["%s=%s" % item for item in (env or {}).items()]
        return ["nsenter", "--target", str(self.init_pid), "--all", "--",
                "env", "-i"] + variables + list(cmd)

    def run(self, *cmd, check=True, timeout=60, env=None, stdin=None):
        return netlab.run(self.command(*cmd, env=env), check=check, timeout=timeout,
                          stdin=stdin)

    def write(self, path, data, mode="644"):
        """Writes data (text or bytes) to the file path inside, folders included."""
        if isinstance(data, str):
            data = data.encode()
        result = subprocess.run(
            self.command("sh", "-c", 'mkdir -p "$(dirname "$1")" && cat > "$1" && chmod "$2" "$1"',
                         "sh", path, mode), input=data, capture_output=True, timeout=60)
        if result.returncode != 0:
            raise AssertionError("writing %s in the machine: %s" % (path, result.stderr))

    def copy_in(self, source, path):
        with open(source, "rb") as f:
            self.write(path, f.read())

    def unit(self, unit, *properties):
        """The unit's properties, as systemctl show gives them."""
        out = self.run("systemctl", "show", "--property=" + ",".join(properties), unit).stdout
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def wait_unit(self, unit, timeout=30.0, **expected):
        """Waits until each named property has its value; returns all properties named."""
        def reached():
            now = self.unit(unit, *expected)
            return now if all(now.get(k) == v for k, v in expected.items()) else None
        return netlab.wait_for(reached, timeout, interval=0.2,
                               what=lambda: "%s to reach %s (it has %s)"
                               % (unit, expected, self.unit(unit, *expected)))

    def journal(self, unit):
        """The messages of unit in the journal, one a line, everything sent so far included."""
        self.run("journalctl", "--sync")
        return self.run("journalctl", "--unit=" + unit, "--output=cat", "--no-pager",
                        "--quiet").stdout

    def power_off(self, timeout=60.0):
        """Shuts the machine down as SIGTERM to nspawn asks it to; kills it when
        that takes longer than timeout. Returns nspawn's exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                # The machine's PID 1 takes its whole PID namespace with it;
                # it is nspawn's child as long as it is that process.
                try:
                    if self.init_pid and netlab.proc_stat(self.init_pid)[1] == self.process.pid:
                        os.kill(self.init_pid, signal.SIGKILL)
                except OSError:
                    pass
                self.process.kill()
                self.process.wait(10)
        return self.process.returncode


if __name__ == "__main__":
    # CTest's e2e_machine_root: the root file system made before test_systemd boots it.
    try:
        netlab.require_namespaces()
    except unittest.SkipTest as reason:
        print("skipped %r" % str(reason))
        sys.exit(0)
    root_file_system()
