# SPDX-License-Identifier: BSD-2-Clause
"""Syslog capture for daemons under test.

The test machines run no syslog daemon and have no /dev/log, yet a detached
daemon logs to syslog only. A SyslogCapture listens on a unix datagram socket
of its own; `capture.within(namespace)` stands in for a netlab.Namespace when
a command is started (lab.daemon(argv, namespace=capture.within(ns))). Such a
command runs in a private mount namespace in which /dev is a tmpfs holding a
bind mount of every entry of the real /dev, plus "log": the capture's socket.
The host's /dev is never changed, so tests running at the same time don't see
each other's logs. The command then goes through `ip netns exec` as usual,
whose own mount namespace is a copy of the private one and keeps /dev.

Records arrive as glibc's syslog sends them:
"<priority>Mmm dd hh:mm:ss ident: message" (with "[pid]" after the ident when
LOG_PID is set). The capture needs no thread: every query first takes in
whatever has arrived.

`capture.within(namespace, mounts=...)` gives the command more of a private
view of the system: overlays over folders (what the command writes there
lands in a folder of the test, the host's folder stays as it is), bind
mounts (a file or folder of the test in place of the host's) and full file
systems (an empty tmpfs without a free byte in place of a folder). A mount
over /run would hide /run/netns, so with mounts the command enters the
network namespace first and the mount namespace is made inside it.

A capture normally takes records in when it is asked; drain_in_background()
makes a thread do it, for commands that log much: a unix datagram socket
holds only a few records (net.unix.max_dgram_qlen), and a full one makes
every syslog call wait.

Run as a program, this file is the entry step of such a command:
    python3 syslog_capture.py --enter SOCKET STAGE [--groups G,G]
        [--overlay TARGET:UPPER:WORK]... [--bind SOURCE:TARGET]... [--full TARGET]...
        -- COMMAND...
"""

import ctypes
import errno
import os
import re
import selectors
import socket
import stat
import sys
import tempfile
import threading
import time

import netlab

HERE = os.path.dirname(os.path.abspath(__file__))

LOG_DAEMON = 3 << 3
LOG_ERR, LOG_NOTICE, LOG_INFO = 3, 5, 6

_RECORD = re.compile(r"<(\d+)>([A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d) "
                     r"([^\s:\[]+)(?:\[(\d+)\])?: (.*)", re.S)


class Record:
    """One syslog message."""

    def __init__(self, raw):
        self.raw = raw
        match = _RECORD.fullmatch(raw)
        if match is None:
            raise AssertionError("not a syslog record: %r" % raw)
        self.priority = int(match.group(1))
        self.facility = self.priority & ~7
        self.severity = self.priority & 7
        self.stamp = match.group(2)
        self.ident = match.group(3)
        self.pid = int(match.group(4)) if match.group(4) else None
        self.message = match.group(5).rstrip("\n")

    def __repr__(self):
        return "Record(%r)" % self.raw


class _Within:
    """Duck-typed netlab.Namespace: only command() is used by netlab.Daemon."""

    def __init__(self, capture, namespace, groups, mounts=None):
        self.capture = capture
        self.namespace = namespace
        self.groups = groups
        self.mounts = mounts

    def command(self, *cmd):
        entry = [sys.executable, os.path.join(HERE, "syslog_capture.py"), "--enter",
                 self.capture.socket_path, self.capture.stage]
        if self.groups is not None:
            entry += ["--groups", ",".join(str(g) for g in self.groups)]
        if self.mounts is None:
            inner = list(cmd) if self.namespace is None else self.namespace.command(*cmd)
            return entry + ["--"] + inner
        for mount in self.mounts:
            entry += ["--" + mount[0], ":".join(mount[1:])]
        entry += ["--"] + list(cmd)
        return entry if self.namespace is None else self.namespace.command(*entry)


class SyslogCapture(netlab.Closing):
    """A listening /dev/log stand-in. Its directory lies in the lab's temporary
    directory, which the lab removes when it closes; close() the socket before."""

    def __init__(self, lab):
        self.dir = tempfile.mkdtemp(prefix="syslog-", dir=lab.tmpdir)
        self.socket_path = os.path.join(self.dir, "log")
        self.stage = os.path.join(self.dir, "dev")
        os.mkdir(self.stage)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.socket_path)
        # A daemon that switched to an unprivileged user connects after the switch.
        os.chmod(self.socket_path, 0o666)
        self.sock.setblocking(False)
        self._records = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = None

    def close(self):
        if self._thread is not None:
            self._stop.set()
            self._thread.join(timeout=10)
            self._thread = None
        self.sock.close()

    def within(self, namespace=None, groups=None, mounts=None):
        """A stand-in for namespace (None: the test's own network namespace) whose
        commands log into this capture. groups, when given, becomes the started
        process's supplementary group list. mounts, when given, is a list of
        ("overlay", target, upper, work), ("bind", source, target) and
        ("full", target), made in that order in the command's mount
        namespace; paths may not hold ":"."""
        return _Within(self, namespace, groups, mounts)

    def drain_in_background(self):
        """Takes records in on a thread of its own from now until close()."""
        def drain():
            with selectors.DefaultSelector() as selector:
                selector.register(self.sock, selectors.EVENT_READ)
                while not self._stop.is_set():
                    if selector.select(0.1):
                        self._take_in()
        self._thread = threading.Thread(target=drain, name="syslog-drain", daemon=True)
        self._thread.start()

    def _take_in(self):
        with self._lock:
            while True:
                try:
                    data = self.sock.recv(65536)
                except BlockingIOError:
                    return
                self._records.append(Record(data.decode("utf-8", "replace")))

    def records(self, ident=None):
        """Every record received so far (only those of ident, when given)."""
        self._take_in()
        with self._lock:
            return [r for r in self._records if ident is None or r.ident == ident]

    def messages(self, ident):
        return [r.message for r in self.records(ident)]

    def wait(self, ident, message, timeout=10.0, count=1):
        """Waits until message has arrived count times from ident; returns the last such record."""
        deadline = time.monotonic() + timeout
        while True:
            found = [r for r in self.records(ident) if r.message == message]
            if len(found) >= count:
                return found[count - 1]
            if time.monotonic() >= deadline:
                raise AssertionError("timed out after %.1fs waiting for %r from %s (got %r)"
                                     % (timeout, message, ident, self.records()))
            time.sleep(0.02)


# The entry step, run in the started process before it becomes the command.

_CLONE_NEWNS = 0x00020000
_MS_NOSUID, _MS_BIND, _MS_REC, _MS_PRIVATE = 0x2, 0x1000, 0x4000, 0x40000
_MNT_DETACH = 2


def _enter(socket_path, stage, groups, mounts, argv):
    libc = ctypes.CDLL(None, use_errno=True)

    def check(result, what):
        if result != 0:
            error = ctypes.get_errno()
            raise OSError(error, "%s: %s" % (what, os.strerror(error)))

    def mount(source, target, fstype, flags, data=None):
        enc = lambda s: None if s is None else s.encode()
        check(libc.mount(enc(source), enc(target), enc(fstype), ctypes.c_ulong(flags), enc(data)),
              "mount %s on %s" % (source, target))

    check(libc.unshare(_CLONE_NEWNS), "unshare")
    mount(None, "/", None, _MS_REC | _MS_PRIVATE)
    mount("/dev", stage, None, _MS_BIND | _MS_REC)
    mount("tmpfs", "/dev", "tmpfs", _MS_NOSUID, "mode=0755")
    for name in sorted(os.listdir(stage)):
        source, target = os.path.join(stage, name), os.path.join("/dev", name)
        info = os.lstat(source)
        if stat.S_ISLNK(info.st_mode):
            os.symlink(os.readlink(source), target)
        elif stat.S_ISDIR(info.st_mode):
            os.mkdir(target, stat.S_IMODE(info.st_mode))
            mount(source, target, None, _MS_BIND | _MS_REC)
        else:
            open(target, "w").close()
            mount(source, target, None, _MS_BIND)
    open("/dev/log", "w").close()
    mount(socket_path, "/dev/log", None, _MS_BIND)
    check(libc.umount2(stage.encode(), _MNT_DETACH), "umount " + stage)
    for kind, *paths in mounts:
        if kind == "overlay":
            target, upper, work = paths
            mount("overlay", target, "overlay", 0,
                  "lowerdir=%s,upperdir=%s,workdir=%s" % (target, upper, work))
        elif kind == "full":
            _fill(mount, paths[0])
        else:
            source, target = paths
            mount(source, target, None, _MS_BIND)
    if groups is not None:
        os.setgroups(groups)
    os.execvp(argv[0], argv)


def _fill(mount, target):
    """A tmpfs of one page at target, that page taken: files can still be
    made there, but nothing can be written to them."""
    mount("tmpfs", target, "tmpfs", _MS_NOSUID, "size=4k,mode=0755")
    fd = os.open(os.path.join(target, "filler"), os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        for _ in range(16):
            os.write(fd, bytes(4096))
    except OSError as error:
        if error.errno != errno.ENOSPC:
            raise
    else:
        raise AssertionError("%s never filled up" % target)
    finally:
        os.close(fd)


def main(args):
    if len(args) < 4 or args[0] != "--enter":
        sys.exit("usage: syslog_capture.py --enter SOCKET STAGE [--groups G,G] -- COMMAND...")
    socket_path, stage, rest = args[1], args[2], args[3:]
    groups = None
    mounts = []
    while rest[:1] in (["--groups"], ["--overlay"], ["--bind"], ["--full"]) and len(rest) >= 2:
        if rest[0] == "--groups":
            groups = [int(g) for g in rest[1].split(",") if g]
        else:
            mounts.append([rest[0][2:]] + rest[1].split(":"))
        rest = rest[2:]
    if rest[:1] != ["--"] or len(rest) < 2:
        sys.exit("syslog_capture.py: no command after --")
    _enter(socket_path, stage, groups, mounts, rest[1:])


if __name__ == "__main__":
    main(sys.argv[1:])
