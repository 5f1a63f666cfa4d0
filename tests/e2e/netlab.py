# SPDX-License-Identifier: BSD-2-Clause
"""Network namespaces, veth links and daemon processes for end-to-end tests.

Everything a test makes is recorded in a Lab and taken down when the Lab
closes, also when the test fails: processes are ended by the PIDs this module
started, then whatever still runs in the lab's namespaces (started there by
those processes: daemons a hook started, a DHCP client's helpers), then
namespaces are deleted, and files registered for cleanup are removed.
Every wait is bounded. Where no network namespace can be made (not root),
a Lab is not made either: the test that asks for one is skipped, with the
reason. Also here: what a test reads about a process (its state in /proc,
its PID file) and the counters of a statistics report.
"""

import itertools
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

# The binary under test: FERRIN_BINARY (set by CTest), or the default build.
BINARY = os.environ.get("FERRIN_BINARY") or os.path.join(ROOT, "build", "ferrin")

USAGE = ("usage: %s [-dFhV] [-r v4_common_len] [-u user] tunN prefix/prefixlen "
         "relay_v4_addr my_v4_addr\n")

_serial = itertools.count()
_namespace_refusal = []


def unique_name(tag):
    """A name no other test process uses at the same time (at most 15 characters)."""
    return "f%s%d%d" % (tag[:4], os.getpid() % 100000, next(_serial))


def wait_for(predicate, timeout=10.0, interval=0.02, what="condition"):
    """Polls predicate until it returns a true value, which is returned; fails after timeout.
    what may be a text or a function giving one, called only when the wait fails."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            text = what() if callable(what) else what
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, text))
        time.sleep(interval)


def namespace_refusal():
    """Why this process cannot make network namespaces, or None when it can.
    Found out once, by making and deleting one."""
    if not _namespace_refusal:
        reason = None
        if os.geteuid() != 0:
            reason = "not root"
        else:
            name = unique_name("probe")
            try:
                made = subprocess.run(["ip", "netns", "add", name], capture_output=True,
                                      text=True, timeout=30)
            except OSError as error:
                reason = "ip: %s" % error.strerror
            else:
                if made.returncode != 0:
                    reason = (made.stderr or made.stdout).strip()
                else:
                    subprocess.run(["ip", "netns", "del", name], capture_output=True, timeout=30)
        _namespace_refusal.append(reason)
    return _namespace_refusal[0]


def require_namespaces():
    """Skips the calling test where network namespaces cannot be made."""
    reason = namespace_refusal()
    if reason is not None:
        raise unittest.SkipTest("cannot make network namespaces (%s); the end-to-end "
                                "tests need root" % reason)


def run(cmd, check=True, timeout=30, **kwargs):
    """Runs a command, capturing text output."""
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, **kwargs)
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(cmd), result.returncode,
                                                        result.stdout, result.stderr))
    return result


def proc_stat(pid):
    """(state, parent PID, session) of a process, from /proc/<pid>/stat."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return fields[0], int(fields[1]), int(fields[3])


def process_runs(pid, binary_path):
    """True while pid is a live (not zombie) process running binary_path."""
    try:
        exe = os.path.realpath("/proc/%d/exe" % pid)
        state = proc_stat(pid)[0]
    except OSError:
        return False
    return exe == os.path.realpath(binary_path) and state != "Z"


def processes_of(binary):
    """Live processes running binary (a program copy no other test runs)."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and process_runs(int(entry), binary):
            found.append(int(entry))
    return sorted(found)


def _alive(pid):
    try:
        return proc_stat(pid)[0] != "Z"
    except OSError:
        return False


def pid_file_path(name):
    """The PID file of a daemon whose program name is name."""
    return "/var/run/%s.pid" % name


def parse_counters(text):
    """The counters of a statistics report, "Ipkts 3, Ierrs 0, ...", as a dict of numbers."""
    return {name: int(value) for name, value in (field.split(" ") for field in text.split(", "))}


class Closing:
    """A with-statement on an instance ends with its close()."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Namespace:
    """One network namespace, with lo up."""

    def __init__(self, lab, tag):
        self.lab = lab
        self.name = unique_name(tag)
        run(["ip", "netns", "add", self.name])
        lab._namespaces.append(self)
        self.run("ip", "link", "set", "lo", "up")

    def command(self, *cmd):
        return ["ip", "netns", "exec", self.name] + list(cmd)

    def run(self, *cmd, check=True, timeout=30, **kwargs):
        return run(self.command(*cmd), check=check, timeout=timeout, **kwargs)

    def sysctl(self, key, value):
        self.run("sysctl", "-q", "-w", "%s=%s" % (key, value))

    def accept_spoofed_sources(self):
        """Turns reverse-path filtering off, for all interfaces and those made
        from now on: IPv4 datagrams are taken in whatever their source."""
        for scope in ("all", "default"):
            self.sysctl("net.ipv4.conf.%s.rp_filter" % scope, 0)

    def quiet_ipv6(self):
        """Stops the kernel's own IPv6 chatter on interfaces made from now on
        (router solicitations, duplicate address detection, link-local addresses)."""
        for scope in ("all", "default"):
            self.sysctl("net.ipv6.conf.%s.router_solicitations" % scope, 0)
            self.sysctl("net.ipv6.conf.%s.accept_dad" % scope, 0)
            self.sysctl("net.ipv6.conf.%s.dad_transmits" % scope, 0)
        self.sysctl("net.ipv6.conf.default.addr_gen_mode", 1)

    def pids(self):
        """The processes that live in the namespace, none of them a zombie."""
        out = run(["ip", "netns", "pids", self.name], check=False).stdout
        return [int(p) for p in out.split() if _alive(int(p))]

    def link_exists(self, name):
        return self.run("ip", "link", "show", name, check=False).returncode == 0

    def link_info(self, name):
        """(flags text, mtu) of an interface, as `ip link` shows them."""
        out = self.run("ip", "-o", "link", "show", name).stdout
        flags = out.split("<", 1)[1].split(">", 1)[0].split(",")
        mtu = int(out.split(" mtu ", 1)[1].split()[0])
        return flags, mtu


class Daemon:
    """A ferrin process started by a test. Standard error goes to a file, or,
    with closed_standard, standard input, output and error are all closed
    when the binary starts."""

    def __init__(self, lab, argv, namespace=None, user_binary=None, closed_standard=False):
        self.lab = lab
        self.binary = user_binary or BINARY
        self.stderr_path = os.path.join(lab.tmpdir, "stderr-%d" % next(_serial))
        self.stdout_path = self.stderr_path.replace("stderr-", "stdout-")
        cmd = [self.binary] + list(argv)
        if closed_standard:
            cmd = ["sh", "-c", 'exec "$@" <&- >&- 2>&-', "sh"] + cmd
        if namespace is not None:
            cmd = namespace.command(*cmd)
        with open(self.stderr_path, "wb") as err, open(self.stdout_path, "wb") as out:
            self.process = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        self.pid = self.process.pid  # `ip netns exec` execs the command: same PID
        lab._processes.append(self)

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stdout(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_stderr(self, text, timeout=10.0, count=1):
        """Waits until text appears count times on standard error; returns all of it."""
        return wait_for(lambda: self.stderr() if self.stderr().count(text) >= count else None,
                        timeout, what=lambda: "%r on standard error (got %r)"
                        % (text, self.stderr()[-2000:]))

    def signal(self, signum):
        self.process.send_signal(signum)

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout=10.0):
        """Waits for the process to end; returns its exit status."""
        return self.process.wait(timeout=timeout)

    def stop(self, timeout=10.0):
        """SIGTERM, then the exit status."""
        if self.running():
            self.signal(signal.SIGTERM)
        return self.wait(timeout)

    def statistics(self, timeout=10.0):
        """Asks for the statistics report and returns the eight counters as a dict."""
        before = self.stderr().count("Ipkts ")
        self.signal(signal.SIGUSR1)
        text = self.wait_stderr("Ipkts ", timeout, count=before + 1)
        line = [l for l in text.splitlines() if "Ipkts " in l][before]
        return parse_counters(line.split(": ", 1)[1])


class Lab(Closing):
    """Context manager that owns everything a test makes."""

    def __init__(self):
        require_namespaces()
        self._closers = []
        self._namespaces = []
        self._processes = []
        self._files = []
        self._adopted = []
        self.tmpdir = tempfile.mkdtemp(prefix="ferrin-e2e-")

    def namespace(self, tag="ns"):
        return Namespace(self, tag)

    def veth(self, ns_a, addr_a, ns_b, addr_b, prefix_len=24):
        """A veth pair between two namespaces, addresses assigned, links up.
        Returns the two interface names."""
        name_a, name_b = unique_name("va"), unique_name("vb")
        run(["ip", "link", "add", name_a, "netns", ns_a.name, "type", "veth",
             "peer", "name", name_b, "netns", ns_b.name])
        for ns, name, addr in ((ns_a, name_a, addr_a), (ns_b, name_b, addr_b)):
            if addr:
                ns.run("ip", "addr", "add", "%s/%d" % (addr, prefix_len), "dev", name)
            ns.run("ip", "link", "set", name, "up")
        return name_a, name_b

    def daemon(self, argv, namespace=None, binary=None, closed_standard=False):
        return Daemon(self, argv, namespace, binary, closed_standard)

    def adopt(self, pid, binary_path):
        """Takes charge of a detached daemon: it is killed at close if it still runs
        the given binary (so a reused PID is never touched)."""
        self._adopted.append((pid, os.path.realpath(binary_path)))

    def remove_on_close(self, path):
        self._files.append(path)

    def on_close(self, closer):
        """Calls closer() first when the lab closes, the last one given first:
        for what must end before its processes and namespaces go."""
        self._closers.append(closer)

    def program_copy(self, tag):
        """A copy of the binary under a unique program name (and so its own PID file)."""
        name = unique_name("fr" + tag)
        path = os.path.join(self.tmpdir, name)
        shutil.copy2(BINARY, path)
        self.remove_on_close(pid_file_path(name))
        return path, name

    def close(self):
        for closer in reversed(self._closers):
            try:
                closer()
            except Exception as error:  # the rest must still be taken down
                print("cleanup step failed: %r" % error)
        for daemon in reversed(self._processes):
            if daemon.process.poll() is None:
                daemon.process.kill()
                try:
                    daemon.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    pass
        for pid, path in self._adopted:
            if process_runs(pid, path):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                wait_for(lambda: not process_runs(pid, path), 10, what="pid %d to end" % pid)
        # Only the lab's own processes and their offspring live in its namespaces.
        for ns in reversed(self._namespaces):
            for pid in ns.pids():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + 10
            while ns.pids() and time.monotonic() < deadline:
                time.sleep(0.02)
        for ns in reversed(self._namespaces):
            subprocess.run(["ip", "netns", "del", ns.name], capture_output=True, timeout=30)
        for path in self._files:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        shutil.rmtree(self.tmpdir, ignore_errors=True)
        self._processes, self._namespaces, self._files, self._adopted = [], [], [], []
        self._closers = []
