# SPDX-License-Identifier: BSD-2-Clause
"""A stand-in for systemctl where no systemd runs, for the unit ferrin@TUN.

The DHCP tests bind a small wrapper over /usr/bin/systemctl in the private
mount namespace of a DHCP client; ferrin-6rd, called by the client's hook,
then runs this instead of systemctl:

    systemctl_standin.py STATE UNIT_FILE FERRIN HELPER [--no-block] [--quiet] VERB ferrin@TUN

VERB is start, stop, restart or is-active. The unit file is the real one
(dist/ferrin@.service), followed as systemd would for these verbs: its
EnvironmentFile lines in order ("-" for optional, %i the instance), its
ExecStart run in the background ($VAR split into words, ${VAR} one word),
then its ExecStartPost, waited for ("+" dropped: there is no sandbox here).
/usr/sbin/ferrin and /usr/sbin/ferrin-6rd become FERRIN and HELPER.

In STATE: TUN.pid holds the running daemon's PID, "started" one line per
daemon started ("PID<TAB>argv as JSON"), TUN.log the daemons' standard
error (the unit discards it), "descriptors" one line per call with the
descriptors it was given ("0 1 2"). Every wait is bounded.
"""

import json
import os
import pathlib
import re
import shlex
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netlab import process_runs as running  # noqa: E402

STOP_SECONDS = 10
POST_SECONDS = 30


def unit_lines(unit_file):
    lines = []
    for line in pathlib.Path(unit_file).read_text().splitlines():
        line = line.strip()
        if line and line[0] not in "#;[" and "=" in line:
            lines.append(tuple(line.split("=", 1)))
    return lines


def environment(unit_file, tun):
    env = {}
    for name, value in unit_lines(unit_file):
        if name != "EnvironmentFile":
            continue
        optional = value.startswith("-")
        path = value.lstrip("-").replace("%i", tun)
        if not os.path.exists(path):
            if optional:
                continue
            raise SystemExit("systemctl stand-in: %s: no such file" % path)
        for line in pathlib.Path(path).read_text().splitlines():
            line = line.strip()
            if line and not line.startswith("#") and "=" in line:
                key, text = line.split("=", 1)
                words = shlex.split(text)
                env[key] = words[0] if words else ""
    return env


def command(line, tun, env, programs):
    argv = []
    for word in line.split():
        word = word.replace("%i", tun)
        whole = re.fullmatch(r"\$\{(\w+)\}", word)
        split = re.fullmatch(r"\$(\w+)", word)
        if whole:
            argv.append(env.get(whole.group(1), ""))
        elif split:
            argv.extend(env.get(split.group(1), "").split())
        else:
            argv.append(word)
    argv[0] = programs.get(argv[0], argv[0])
    return argv


class Unit:
    def __init__(self, state, unit_file, ferrin, helper, tun):
        self.state, self.unit_file, self.ferrin, self.tun = state, unit_file, ferrin, tun
        self.programs = {"/usr/sbin/ferrin": ferrin, "/usr/sbin/ferrin-6rd": helper}
        self.pid_path = os.path.join(state, tun + ".pid")

    def pid(self):
        try:
            pid = int(pathlib.Path(self.pid_path).read_text())
        except (OSError, ValueError):
            return None
        return pid if running(pid, self.ferrin) else None

    def active(self):
        return self.pid() is not None

    def start(self):
        if self.active():
            return 0
        env = environment(self.unit_file, self.tun)
        settings = unit_lines(self.unit_file)
        exec_start = [v for n, v in settings if n == "ExecStart"][0]
        argv = command(exec_start, self.tun, env, self.programs)
        with open(os.path.join(self.state, self.tun + ".log"), "ab") as log:
            daemon = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=log, start_new_session=True)
        with open(self.pid_path, "w") as f:
            f.write("%d\n" % daemon.pid)
        with open(os.path.join(self.state, "started"), "a") as f:
            f.write("%d\t%s\n" % (daemon.pid, json.dumps(argv)))
        for value in (v for n, v in settings if n == "ExecStartPost"):
            post = command(value.lstrip("+-"), self.tun, env, self.programs)
            try:
                status = subprocess.run(post, timeout=POST_SECONDS).returncode
            except subprocess.TimeoutExpired:
                status = -1
            if status != 0:
                # systemd stops a unit whose ExecStartPost fails.
                self.stop()
                return 1
        return 0

    def stop(self):
        pid = self.pid()
        if pid is not None:
            os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + STOP_SECONDS
            while running(pid, self.ferrin) and time.monotonic() < deadline:
                time.sleep(0.02)
            if running(pid, self.ferrin):
                os.kill(pid, signal.SIGKILL)
        try:
            os.unlink(self.pid_path)
        except FileNotFoundError:
            pass
        return 0


def open_descriptors():
    found = []
    for name in sorted(os.listdir("/proc/self/fd"), key=int):
        try:
            os.readlink("/proc/self/fd/" + name)
        except OSError:
            continue  # the listing's own, closed by now
        found.append(name)
    return found


def main(args):
    state, unit_file, ferrin, helper = args[:4]
    given = open_descriptors()
    with open(os.path.join(state, "descriptors"), "a") as f:
        f.write(" ".join(given) + "\n")
    words = [a for a in args[4:] if not a.startswith("--")]
    quiet = "--quiet" in args[4:]
    if len(words) != 2 or not re.fullmatch(r"ferrin@[^./]+(\.service)?", words[1]):
        print("systemctl stand-in: cannot do %r" % " ".join(args[4:]), file=sys.stderr)
        return 1
    verb, name = words
    unit = Unit(state, unit_file, ferrin, helper, name.split("@", 1)[1].replace(".service", ""))
    if verb == "is-active":
        active = unit.active()
        if not quiet:
            print("active" if active else "inactive")
        return 0 if active else 3
    if verb == "start":
        return unit.start()
    if verb == "stop":
        return unit.stop()
    if verb == "restart":
        unit.stop()
        return unit.start()
    print("systemctl stand-in: unknown verb %s" % verb, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
