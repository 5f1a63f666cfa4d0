# SPDX-License-Identifier: BSD-2-Clause
"""A stand-in for systemctl where no systemd runs, for the project's units
(ferrin@TUN, ferrin-radvd@TUN and ferrin-lan@TUN).

The DHCP tests bind a small wrapper over /usr/bin/systemctl in the private
mount namespace of a DHCP client; ferrin-6rd, called by the client's hook,
then runs this instead of systemctl:

    systemctl_standin.py STATE UNIT_DIR FERRIN HELPER [--no-block] [--quiet] [--property=P,...]
                         [--signal=SIG] [--kill-whom=main] VERB UNIT

VERB is start, stop, restart, reload, reload-or-restart, is-active, show,
kill or list-jobs. The unit file is the real one from UNIT_DIR (dist/),
followed as systemd would for these verbs: its ConditionPathExists lines, its
RuntimeDirectory (made below /run), its EnvironmentFile lines in order ("-"
for optional, %i the instance), its
ExecStart run in the background ($VAR split into words, ${VAR} one word),
then its ExecStartPost, waited for; its ExecReload with $MAINPID; at a stop,
first the running units bound to it (BindsTo=), then SIGTERM and its
ExecStopPost with SERVICE_RESULT=success ("+" dropped: there is no sandbox
here). While a restart runs, list-jobs shows a restart job for the unit. /usr/sbin/ferrin and /usr/sbin/ferrin-6rd become
FERRIN and HELPER. With --no-block the job runs in the background, one job
of a unit at a time, and the command returns at once, as systemctl does.

In STATE: UNIT.pid holds the running main process's PID, "started" one line
per ferrin daemon started ("PID<TAB>argv as JSON"), UNIT.log the processes'
standard error (the units discard it or send it to the journal),
"descriptors" one line per call with the descriptors it was given ("0 1 2").
Every wait is bounded.
"""

import fcntl
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
POST_SECONDS = 60
JOB_SECONDS = 120


def unit_lines(unit_file):
    lines = []
    for line in pathlib.Path(unit_file).read_text().splitlines():
        line = line.strip()
        if line and line[0] not in "#;[" and "=" in line:
            lines.append(tuple(line.split("=", 1)))
    return lines


def environment(settings, instance):
    env = {}
    for name, value in settings:
        if name != "EnvironmentFile":
            continue
        optional = value.startswith("-")
        path = value.lstrip("-").replace("%i", instance)
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


def conditions_met(settings, instance):
    """ConditionPathExists: all plain ones, and one of the "|" ones if any."""
    plain, any_of = [], []
    for name, value in settings:
        if name == "ConditionPathExists":
            (any_of if value.startswith("|") else plain).append(
                os.path.exists(value.lstrip("|").replace("%i", instance)))
    return all(plain) and (not any_of or any(any_of))


def command(line, instance, env, programs):
    argv = []
    for word in line.split():
        word = word.replace("%i", instance)
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
    def __init__(self, state, unit_dir, ferrin, helper, name):
        template, self.instance = name.replace(".service", "").split("@", 1)
        self.state, self.name = state, template + "@" + self.instance
        self.unit_dir = unit_dir
        self.settings = unit_lines(os.path.join(unit_dir, template + "@.service"))
        self.ferrin = ferrin
        self.programs = {"/usr/sbin/ferrin": ferrin, "/usr/sbin/ferrin-6rd": helper}
        self.pid_path = os.path.join(state, self.name + ".pid")
        self.exe = self.programs.get(self.values("ExecStart")[0].split()[0],
                                     self.values("ExecStart")[0].split()[0])

    def values(self, key):
        return [v for n, v in self.settings if n == key]

    def pid(self):
        try:
            pid = int(pathlib.Path(self.pid_path).read_text())
        except (OSError, ValueError):
            return None
        return pid if running(pid, self.exe) else None

    def active(self):
        return self.pid() is not None

    def run_all(self, key, env, extra=None):
        """Runs each line of key in turn; the first status that is not 0, or 0."""
        for value in self.values(key):
            line = value.lstrip("+-").replace("$MAINPID", str(self.pid() or 0))
            argv = command(line, self.instance, env, self.programs)
            try:
                status = subprocess.run(argv, timeout=POST_SECONDS,
                                        env=dict(os.environ, **(extra or {}))).returncode
            except subprocess.TimeoutExpired:
                status = -1
            if status != 0 and not value.lstrip("+").startswith("-"):
                return status
        return 0

    def start(self):
        if self.active():
            return 0
        if not conditions_met(self.settings, self.instance):
            return 0
        env = environment(self.settings, self.instance)
        argv = command(self.values("ExecStart")[0], self.instance, env, self.programs)
        for value in self.values("RuntimeDirectory"):
            for folder in value.replace("%i", self.instance).split():
                os.makedirs(os.path.join("/run", folder), exist_ok=True)
        with open(os.path.join(self.state, self.name + ".log"), "ab") as log:
            main = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=log, start_new_session=True)
        with open(self.pid_path, "w") as f:
            f.write("%d\n" % main.pid)
        if argv[0] == self.ferrin:
            with open(os.path.join(self.state, "started"), "a") as f:
                f.write("%d\t%s\n" % (main.pid, json.dumps(argv)))
        if self.run_all("ExecStartPost", env) != 0:
            # systemd stops a unit whose ExecStartPost fails.
            self.stop()
            return 1
        return 0

    def bound(self):
        """The project's units of the same instance bound to this one (BindsTo=)."""
        template = self.name.split("@", 1)[0]
        units = []
        for name in sorted(os.listdir(self.unit_dir)):
            if name.endswith("@.service") and name != template + "@.service":
                binds = [v for n, v in unit_lines(os.path.join(self.unit_dir, name))
                         if n == "BindsTo"]
                if template + "@%i.service" in binds:
                    units.append(Unit(self.state, self.unit_dir, self.ferrin, self.programs[
                        "/usr/sbin/ferrin-6rd"], name.replace("@", "@" + self.instance)))
        return units

    def stop(self):
        for unit in self.bound():
            unit.stop()
        pid = self.pid()
        if pid is not None:
            os.kill(pid, signal.SIGTERM)
            deadline = time.monotonic() + STOP_SECONDS
            while running(pid, self.exe) and time.monotonic() < deadline:
                time.sleep(0.02)
            if running(pid, self.exe):
                os.kill(pid, signal.SIGKILL)
            self.run_all("ExecStopPost", environment(self.settings, self.instance),
                         {"SERVICE_RESULT": "success"})
        try:
            os.unlink(self.pid_path)
        except FileNotFoundError:
            pass
        return 0

    def reload(self):
        if not self.active():
            return 1
        return self.run_all("ExecReload", environment(self.settings, self.instance))

    def show(self, properties):
        pid = self.pid()
        values = {"ActiveState": "active" if pid else "inactive",
                  "SubState": "running" if pid else "dead", "MainPID": str(pid or 0)}
        for name in properties:
            print("%s=%s" % (name, values.get(name, "")))
        return 0

    def kill(self, signame):
        pid = self.pid()
        if pid is None:
            return 1
        os.kill(pid, getattr(signal, "SIG" + signame.upper().replace("SIG", "")))
        return 0


def job(unit, verb, options):
    if verb == "start":
        return unit.start()
    if verb == "stop":
        return unit.stop()
    if verb == "restart":
        marker = os.path.join(unit.state, unit.name + ".restarting")
        open(marker, "w").close()
        try:
            unit.stop()
            return unit.start()
        finally:
            os.unlink(marker)
    if verb == "reload":
        return unit.reload()
    if verb == "reload-or-restart":
        return unit.reload() if unit.active() else unit.start()
    raise SystemExit("systemctl stand-in: unknown verb %s" % verb)


def open_descriptors():
    found = []
    for name in sorted(os.listdir("/proc/self/fd"), key=int):
        try:
            os.readlink("/proc/self/fd/" + name)
        except OSError:
            continue  # the listing's own, closed by now
        found.append(name)
    return found


def in_background(unit, verb, options):
    """Runs the job in a process of its own, after the unit's earlier jobs."""
    if os.fork() != 0:
        return 0
    os.setsid()
    if os.fork() != 0:
        os._exit(0)
    # The caller may read systemctl's output to its end: the job keeps none of it.
    null = os.open(os.devnull, os.O_RDWR)
    log = os.open(os.path.join(unit.state, unit.name + ".log"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    for fd, target in ((0, null), (1, null), (2, log)):
        os.dup2(target, fd)
    with open(os.path.join(unit.state, unit.name + ".job"), "w") as lock:
        deadline = time.monotonic() + JOB_SECONDS
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    os._exit(1)
                time.sleep(0.02)
        status = job(unit, verb, options)
    os._exit(status)


def main(args):
    state, unit_dir, ferrin, helper = args[:4]
    given = open_descriptors()
    with open(os.path.join(state, "descriptors"), "a") as f:
        f.write(" ".join(given) + "\n")
    options = {a.split("=", 1)[0]: a.split("=", 1)[1] if "=" in a else ""
               for a in args[4:] if a.startswith("--")}
    words = [a for a in args[4:] if not a.startswith("--")]
    if len(words) != 2 or not re.fullmatch(r"ferrin(-radvd|-lan)?@[^./]+(\.service)?", words[1]):
        print("systemctl stand-in: cannot do %r" % " ".join(args[4:]), file=sys.stderr)
        return 1
    verb, name = words
    unit = Unit(state, unit_dir, ferrin, helper, name)
    if verb == "is-active":
        active = unit.active()
        if "--quiet" not in options:
            print("active" if active else "inactive")
        return 0 if active else 3
    if verb == "show":
        return unit.show(options.get("--property", "").split(","))
    if verb == "kill":
        return unit.kill(options.get("--signal", "TERM"))
    if verb == "list-jobs":
        if os.path.exists(os.path.join(state, unit.name + ".restarting")):
            print("1 %s.service restart running" % unit.name)
        return 0
    if "--no-block" in options:
        return in_background(unit, verb, options)
    return job(unit, verb, options)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
