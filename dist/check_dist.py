#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Checks on the operator files in dist/, run by CTest.

    check_dist.py manual PAGE BINARY README
        mandoc -T lint finds nothing in the manual page; its synopsis is the
        binary's usage line and it names the binary's identity; every message
        and trace line the daemon's code can write is explained in the page
        and in the README.
    check_dist.py helper-manual PAGE HELPER README
        The same for the DHCP helper ferrin-6rd: a clean lint, the synopsis
        is its usage, and every message of src/edge/ is explained in its page
        and in the README.
    check_dist.py unit DIST_DIR BINARY
        systemd-analyze verify accepts the unit (ExecStart pointed at the
        built binary); the unit's command line, filled from the example
        settings, starts the daemon inside the unit's capability bounding set
        with no new privileges, and everything it does stays inside the
        unit's address families, system-call filter and read-only file
        system. The example's -u names the user of the sysusers.d entry.
    check_dist.py install DIST_DIR BUILD_DIR PREFIX SBINDIR MANDIR UNITDIR DOCDIR SYSUSERSDIR
                  SYSCONFDIR DHCPCDHOOKDIR LIBEXECDIR CMAKE
        cmake --install puts the binaries, the manual pages, the unit, the
        example settings, the sysusers.d entry, the helper's settings and the
        DHCP clients' hooks where they belong, unchanged but for the installed
        paths they name, and systemd-analyze verify accepts the unit as
        installed.
"""

import glob
import os
import pwd
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

UNIT_NAME = "ferrin@.service"
RADVD_UNIT_NAME = "ferrin-radvd@.service"
LAN_UNIT_NAME = "ferrin-lan@.service"
ENV_EXAMPLE = "ferrin.env.example"
SYSUSERS = "ferrin.sysusers"
# The exit status of a check that cannot run here, as CTest is told.
SKIPPED = 77
SOURCE_BINARY_PATH = "/usr/sbin/ferrin"
SOURCE_HELPER_PATH = "/usr/sbin/ferrin-6rd"
SOURCE_LIBEXEC_PATH = "/usr/libexec/ferrin/"
INSTANCE = "tun6rd0"
# The DHCP helper's folder of src/: its messages are explained in its own page.
HELPER_FOLDER = "edge"

# mandoc looks every cross reference up in the system's mandoc.db. Debian keeps
# its manual index with man-db and has no mandoc.db, so mandoc notes each
# reference to a page that exists on disk; that note is about the system's
# index, not about the page.
MISSING_INDEX_NOTE = re.compile(
    r"^mandoc: outdated mandoc\.db lacks (\S+)\((\w+)\) entry, run makewhatis \S+$")
# ferrin's two pages refer to each other; neither is on the system yet.
SIBLING_NOTE = re.compile(r"^mandoc: \S+: STYLE: referenced manual not found: Xr (\S+) (\w+)"
                          r"(?: \(\d+ times\))?$")


def fail(message):
    raise SystemExit("FAIL: " + message)


def tool(name):
    path = shutil.which(name)
    if path is None:
        fail("%s is not installed (scripts/install-deps.sh installs it)" % name)
    return path


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120, **kwargs)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def normalized(text):
    return " ".join(text.replace("`", "").split())


# ---------------------------------------------------------------- manual page

def daemon_texts(helper=False):
    """The constant parts of every log message and trace line in src/: the
    daemon's, or with helper those of the DHCP helper."""
    texts = set()
    for path in sorted(glob.glob(os.path.join(ROOT, "src", "*", "*.cpp"))):
        if path.endswith("_test.cpp"):
            continue
        if (os.path.basename(os.path.dirname(path)) == HELPER_FOLDER) != helper:
            continue
        code = read(path)
        # A format may be split into adjacent literals; escaped quotes are quotes.
        calls = re.findall(r'\b(?:(?:log_message|syslog)\(LOG_[A-Z]+,|trace\()\s*'
                           r'((?:"(?:[^"\\]|\\.)*"\s*)+)', code)
        formats = ["".join(re.findall(r'"((?:[^"\\]|\\.)*)"', call)).replace('\\"', '"')
                   for call in calls]
        # Request names, refusal reasons and failure prefixes chosen at run time.
        formats += re.findall(r'"((?:ioctl|setsockopt)\([A-Z_]+\))"', code)
        for table in re.findall(r'failure_prefix\[[^]]*\] = \{([^}]*)\}', code):
            formats += re.findall(r'"([^"]+)"', table)
        formats += re.findall(r'\brefuse\(\s*"([^"]+)"', code)
        for fmt in formats:
            for piece in re.split(r"%[-+ #0-9.]*(?:ll|l|z|h)?[a-zA-Z]", fmt):
                piece = piece.strip(" :,()%")
                if re.search(r"[A-Za-z]", piece):
                    texts.add(piece)
    if len(texts) < (20 if helper else 40):
        fail("found only %d message texts in src/: the pattern no longer matches the code"
             % len(texts))
    return texts


def lint_page(page):
    """mandoc -T lint finds nothing; returns the page rendered as plain text."""
    lint = run([tool("mandoc"), "-T", "lint", "-W", "all", page])
    references = set(re.findall(r"^\.Xr (\S+) (\w+)", read(page), re.M))
    findings, notes, siblings = [], [], []
    for line in (lint.stdout + lint.stderr).splitlines():
        match = MISSING_INDEX_NOTE.match(line)
        sibling = SIBLING_NOTE.match(line)
        if match and match.groups() in references:
            notes.append(line)
        elif sibling and os.path.isfile(os.path.join(os.path.dirname(page), "%s.%s"
                                                     % sibling.groups())):
            siblings.append(line)
        elif line.strip():
            findings.append(line)
    notes += siblings
    # A style note makes the status 1; the sibling note is the only one allowed.
    if lint.returncode not in (0, 1) or (lint.returncode == 1 and not siblings) or findings:
        fail("mandoc -T lint (status %d):\n%s" % (lint.returncode, "\n".join(findings)))
    print("ok: mandoc -T lint finds nothing in %s" % page)
    for line in notes:
        print("    (index note, not about the page: %s)" % line)
    rendered = run([tool("mandoc"), "-T", "ascii", "-O", "width=200", page]).stdout
    return re.sub(r".\x08", "", rendered)


def check_texts_explained(page_text, readme, helper=False):
    texts = daemon_texts(helper)
    for name, text in (("manual page", normalized(page_text)), ("README", normalized(read(readme)))):
        missing = sorted(t for t in texts if t not in text)
        if missing:
            fail("the %s does not explain these message texts: %s" % (name, missing))
        print("ok: the %s explains all %d message texts of src/%s"
              % (name, len(texts), HELPER_FOLDER + "/" if helper else ""))


def check_manual(page, binary, readme):
    rendered = lint_page(page)
    synopsis = normalized(rendered.split("SYNOPSIS", 1)[1].split("DESCRIPTION", 1)[0])
    usage = run([binary, "-h"]).stdout
    if normalized(usage) != "usage: " + synopsis:
        fail("synopsis %r differs from the usage line %r" % (synopsis, usage))
    identity = run([binary, "-V"]).stdout.strip()
    if not re.fullmatch(r"ferrin/[0-9.]+", identity) or identity not in rendered:
        fail("the page does not name the identity %r" % identity)
    print("ok: synopsis is the usage line, identity %s" % identity)
    check_texts_explained(rendered, readme)


def check_helper_manual(page, helper, readme):
    rendered = lint_page(page)
    synopsis = normalized(rendered.split("SYNOPSIS", 1)[1].split("DESCRIPTION", 1)[0])
    usage = run([helper, "--help"]).stdout
    forms = usage.split("\nsettings:", 1)[0].replace("usage:", "", 1)
    if normalized(forms) != synopsis:
        fail("synopsis %r differs from the usage %r" % (synopsis, usage))
    print("ok: the synopsis is the helper's usage")
    check_texts_explained(rendered, readme, helper=True)


# ------------------------------------------------------------------ the unit

def unit_settings(text):
    """[Service] and [Unit] settings as name -> list of values."""
    settings = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line[0] in "#;[":
            continue
        name, value = line.split("=", 1)
        settings.setdefault(name, []).append(value)
    return settings


def environment_file(text):
    env = {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, value = line.split("=", 1)
        env[name] = shlex.split(value)[0] if value else ""
    return env


def exec_start_argv(settings, env, binary):
    """ExecStart as systemd expands it: $VAR splits into words, ${VAR} is one."""
    argv = []
    for word in settings["ExecStart"][0].split():
        if word == "%i":
            argv.append(INSTANCE)
        elif re.fullmatch(r"\$\{\w+\}", word):
            argv.append(env[word[2:-1]])
        elif re.fullmatch(r"\$\w+", word):
            argv.extend(env[word[1:]].split())
        else:
            argv.append(word)
    if argv[0] != SOURCE_BINARY_PATH:
        fail("ExecStart runs %s, not %s" % (argv[0], SOURCE_BINARY_PATH))
    return [binary] + argv[1:]


def verify_unit(unit_path, man_dir, root=None, name=UNIT_NAME):
    cmd = [tool("systemd-analyze"), "verify"]
    if root:
        cmd.append("--root=" + root)
    instance = name.replace("@", "@" + INSTANCE)
    targets = [instance] if root else [unit_path, os.path.join(os.path.dirname(unit_path), instance)]
    env = dict(os.environ, MANPATH=man_dir, SYSTEMD_LOG_LEVEL="info")
    result = run(cmd + targets, env=env)
    output = (result.stdout + result.stderr).strip()
    if result.returncode != 0 or output:
        fail("systemd-analyze verify %s (status %d):\n%s"
             % (" ".join(targets), result.returncode, output))
    print("ok: systemd-analyze verify %s%s accepts the unit"
          % ("--root=%s " % root if root else "", " ".join(targets)))


def syscall_filter(groups):
    """The system calls that SystemCallFilter= with these groups allows."""
    listing = run([tool("systemd-analyze"), "syscall-filter"]).stdout
    members, current = {}, None
    for line in listing.splitlines():
        if line.startswith("@"):
            current = line.split()[0]
            members[current] = []
        elif current and line.strip() and not line.strip().startswith("#"):
            members[current].append(line.strip())

    def expand(name):
        if not name.startswith("@"):
            return {name}
        return set().union(*(expand(m) for m in members.get(name, [])))

    return set().union(*(expand(g) for g in groups))


def capability_mask(names):
    numbers = {"CAP_SETGID": 6, "CAP_SETUID": 7, "CAP_NET_ADMIN": 12, "CAP_NET_RAW": 13}
    return sum(1 << numbers[n] for n in names)


def run_like_the_unit(settings, env, binary):
    import netlab

    caps = settings["CapabilityBoundingSet"][0].split()
    families = settings["RestrictAddressFamilies"][0].split()
    allowed_calls = syscall_filter(settings["SystemCallFilter"][0].split())
    argv = exec_start_argv(settings, env, binary)
    if "-u" in argv and not known_user(argv[argv.index("-u") + 1]):
        # The package makes the example's user; a build host has no reason to.
        print("note: no user %s on this host; the check switches to nobody"
              % argv[argv.index("-u") + 1])
        argv[argv.index("-u") + 1] = "nobody"
    # LeakSanitizer cannot work in a traced process; a sanitizer build is
    # checked for leaks by the other tests.
    options = os.environ.get("ASAN_OPTIONS")
    os.environ["ASAN_OPTIONS"] = (options + ":" if options else "") + "detect_leaks=0"
    with netlab.Lab() as lab:
        site, peer = lab.namespace("dsite"), lab.namespace("dpeer")
        lab.veth(site, env["FERRIN_MY_V4"], peer, "192.0.2.2")
        trace_path = os.path.join(lab.tmpdir, "calls")
        bounding = "-all," + ",".join("+" + c[4:].lower() for c in caps)
        launcher = [tool("setpriv"), "--bounding-set=" + bounding, "--inh-caps=-all",
                    "--no-new-privs", tool("strace"), "-f", "-qq", "-o", trace_path]
        daemon = lab.daemon(launcher[1:] + argv, namespace=site, binary=launcher[0])
        netlab.wait_for(lambda: "started" in daemon.stderr() or not daemon.running(),
                        what="the daemon to start")
        if not daemon.running():
            fail("the daemon stopped at start-up with only %s: %s"
                 % (" ".join(caps), daemon.stderr()))
        pid = netlab.wait_for(lambda: ferrin_child(daemon.pid, binary), what="ferrin under strace")
        status = dict(l.split(":\t", 1) for l in read("/proc/%d/status" % pid).splitlines()
                      if ":\t" in l)
        if "-u" in argv:
            user = argv[argv.index("-u") + 1]
            uid = run(["id", "-u", user]).stdout.strip()
            if status["Uid"].split()[0] != uid:
                fail("the daemon runs as uid %s, not %s's %s" % (status["Uid"], user, uid))
            if int(status["CapEff"], 16) != 0 or int(status["CapPrm"], 16) != 0:
                fail("the daemon keeps capabilities after -u: %s" % status["CapEff"])
        if int(status["CapBnd"], 16) != capability_mask(caps) or status["NoNewPrivs"] != "1":
            fail("not run as the unit would: %r" % status)
        os.kill(pid, signal.SIGUSR1)
        daemon.wait_stderr("Ipkts 0, Ierrs 0")
        os.kill(pid, signal.SIGTERM)
        daemon.wait_stderr("exiting")
        exit_status = daemon.wait()
        if exit_status != 0:
            fail("stop by SIGTERM gave status %d:\n%s" % (exit_status, daemon.stderr()))
        calls = read(trace_path)
    print("ok: %s started, reported and stopped (status 0) with only %s, no new privileges"
          % (" ".join(argv[1:]), " ".join(caps)))

    used_families = set(re.findall(r"\bsocket\((AF_\w+)", calls))
    if not used_families or not used_families <= set(families):
        fail("address families used %s, unit allows %s" % (sorted(used_families), families))
    names = set(re.findall(r"^\d+ +(?:<\.\.\. )?([a-z_0-9]+)[( ]", calls, re.M))
    if len(names) < 10 or not names <= allowed_calls:
        fail("system calls outside %s: %s" % (settings["SystemCallFilter"][0],
                                              sorted(names - allowed_calls)))
    writes = re.findall(r'open(?:at)?\((?:AT_FDCWD, )?"([^"]+)", [^)]*O_(?:WRONLY|RDWR|CREAT)', calls)
    if set(writes) != {"/dev/net/tun"}:
        fail("files opened for writing: %s (the unit allows only /dev/net/tun)" % writes)
    print("ok: address families %s, %d system calls all in %s, writes only /dev/net/tun"
          % (" ".join(sorted(used_families)), len(names), settings["SystemCallFilter"][0]))


def known_user(name):
    try:
        pwd.getpwnam(name)
    except KeyError:
        return False
    return True


def sysusers_user(dist_dir):
    """The user that the sysusers.d entry makes."""
    users = [line.split()[1] for line in read(os.path.join(dist_dir, SYSUSERS)).splitlines()
             if line.startswith("u ")]
    if len(users) != 1:
        fail("%s makes %d users, expected one" % (SYSUSERS, len(users)))
    return users[0]


def ferrin_child(strace_pid, binary):
    try:
        children = read("/proc/%d/task/%d/children" % (strace_pid, strace_pid)).split()
    except OSError:
        return None
    for child in map(int, children):
        if os.path.realpath("/proc/%d/exe" % child) == os.path.realpath(binary):
            return child
    return None


def check_unit(dist_dir, binary):
    text = read(os.path.join(dist_dir, UNIT_NAME))
    settings = unit_settings(text)
    env = environment_file(read(os.path.join(dist_dir, ENV_EXAMPLE)))
    expected = {
        "EnvironmentFile": ["-/etc/ferrin/%i.env", "-/run/ferrin/%i.env"],
        "ExecStartPost": ["+%s addr %%i" % SOURCE_HELPER_PATH],
        "ExecStopPost": ["-+%s stopped %%i" % SOURCE_HELPER_PATH],
        "CapabilityBoundingSet": ["CAP_NET_ADMIN CAP_NET_RAW CAP_SETUID CAP_SETGID"],
        "RestrictAddressFamilies": ["AF_INET AF_UNIX"],
        "DevicePolicy": ["closed"],
        "DeviceAllow": ["/dev/net/tun rw"],
        "NoNewPrivileges": ["yes"],
        "ProtectSystem": ["strict"],
        "Restart": ["on-failure"],
    }
    for name, value in expected.items():
        if settings.get(name) != value:
            fail("%s=%s, expected %s" % (name, settings.get(name), value))
    # Each of these would cut the daemon off from the tun device or the network.
    for name in ("PrivateNetwork", "PrivateDevices", "PrivateUsers", "IPAddressDeny",
                 "DynamicUser", "User"):
        if name in settings:
            fail("%s= is set; it breaks a tun and raw-socket daemon" % name)
    if not settings["ExecStart"][0].startswith(SOURCE_BINARY_PATH + " -F "):
        fail("ExecStart does not run %s in the foreground" % SOURCE_BINARY_PATH)
    wanted = set(re.findall(r"\$\{?(\w+)\}?", settings["ExecStart"][0]))
    if wanted != set(env):
        fail("ExecStart uses %s, the example settings define %s" % (sorted(wanted), sorted(env)))
    options = env["FERRIN_OPTS"].split()
    user = sysusers_user(dist_dir)
    if "-u" not in options or options[options.index("-u") + 1] != user:
        fail("FERRIN_OPTS=%r does not switch to %s, the user of %s"
             % (env["FERRIN_OPTS"], user, SYSUSERS))
    print("ok: the unit's settings and the example's variables agree; -u %s" % user)

    with tempfile.TemporaryDirectory(prefix="ferrin-unit-") as tmp:
        os.makedirs(os.path.join(tmp, "man", "man8"))
        for page in ("ferrin.8", "ferrin-6rd.8"):
            shutil.copy(os.path.join(dist_dir, page), os.path.join(tmp, "man", "man8"))
        unit_path = os.path.join(tmp, UNIT_NAME)
        with open(unit_path, "w", encoding="utf-8") as f:
            f.write(text.replace(SOURCE_BINARY_PATH, os.path.abspath(binary)))
        verify_unit(unit_path, os.path.join(tmp, "man"))
        # The LAN's link watcher, bound to the tunnel's unit beside it.
        with open(os.path.join(tmp, LAN_UNIT_NAME), "w", encoding="utf-8") as f:
            f.write(read(os.path.join(dist_dir, LAN_UNIT_NAME)).replace(
                SOURCE_HELPER_PATH, os.path.join(os.path.dirname(os.path.abspath(binary)),
                                                 "ferrin-6rd")))
        verify_unit(os.path.join(tmp, LAN_UNIT_NAME), os.path.join(tmp, "man"), name=LAN_UNIT_NAME)
        # The LAN's radvd unit, where radvd is installed (a Recommends of the package).
        if shutil.which("radvd", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
            shutil.copy(os.path.join(dist_dir, RADVD_UNIT_NAME), tmp)
            # radvd(8) is the system's own page: the trailing colon adds its folders.
            verify_unit(os.path.join(tmp, RADVD_UNIT_NAME), os.path.join(tmp, "man") + ":",
                        name=RADVD_UNIT_NAME)

    run_like_the_unit(settings, env, binary)


# --------------------------------------------------------------- the install

def installed_text(dist_dir, source, full):
    """A file of dist/ as installed: the program paths it names are those of
    the configured folders."""
    text = read(os.path.join(dist_dir, source))
    return (text.replace(SOURCE_BINARY_PATH, os.path.join(full["sbin"], "ferrin"))
            .replace(SOURCE_LIBEXEC_PATH, os.path.join(full["libexec"], "ferrin") + "/"))


def check_install(dist_dir, build_dir, prefix, sbindir, mandir, unitdir, docdir, sysusersdir,
                  sysconfdir, dhcpcd_hook_dir, libexecdir, cmake):
    def full(folder):
        return folder if os.path.isabs(folder) else os.path.join(prefix, folder)

    folders = (sbindir, mandir, unitdir, docdir, sysusersdir, sysconfdir, dhcpcd_hook_dir,
               libexecdir)
    configured = {"sbin": full(sbindir), "libexec": full(libexecdir)}
    with tempfile.TemporaryDirectory(prefix="ferrin-install-") as stage:
        # Staged as a package would be (DESTDIR): every path as configured,
        # below the staging folder.
        result = run([cmake, "--install", build_dir], env=dict(os.environ, DESTDIR=stage))
        if result.returncode != 0:
            fail("cmake --install with DESTDIR: %s%s" % (result.stdout, result.stderr))
        layouts = [(stage, lambda folder: stage + full(folder))]
        # And with another prefix, when no folder is absolute (an absolute one
        # would be written outside the staging folder).
        other = os.path.join(stage, "other-prefix")
        if not any(os.path.isabs(f) for f in folders):
            result = run([cmake, "--install", build_dir, "--prefix", other])
            if result.returncode != 0:
                fail("cmake --install --prefix: %s%s" % (result.stdout, result.stderr))
            layouts.append((other, lambda folder: os.path.join(other, folder)))

        for root, place in layouts:
            binary = os.path.join(place(sbindir), "ferrin")
            helper = os.path.join(place(sbindir), "ferrin-6rd")
            udhcpc_script = os.path.join(place(libexecdir), "ferrin", "udhcpc.script")
            files = {
                binary: None,
                helper: None,
                os.path.join(place(mandir), "man8", "ferrin.8"): "ferrin.8",
                os.path.join(place(mandir), "man8", "ferrin-6rd.8"): "ferrin-6rd.8",
                os.path.join(place(unitdir), UNIT_NAME): UNIT_NAME,
                os.path.join(place(unitdir), RADVD_UNIT_NAME): RADVD_UNIT_NAME,
                os.path.join(place(unitdir), LAN_UNIT_NAME): LAN_UNIT_NAME,
                os.path.join(place(docdir), "examples", ENV_EXAMPLE): ENV_EXAMPLE,
                os.path.join(place(sysusersdir), "ferrin.conf"): SYSUSERS,
                os.path.join(place(sysconfdir), "ferrin", "dhcp.conf"): "dhcp/dhcp.conf",
                os.path.join(place(sysconfdir), "dhcp", "dhclient-exit-hooks.d", "ferrin"):
                    "dhcp/dhclient-exit-hook",
                os.path.join(place(dhcpcd_hook_dir), "70-ferrin"): "dhcp/dhcpcd-hook",
                udhcpc_script: "dhcp/udhcpc.script",
            }
            for path, source in files.items():
                if not os.path.isfile(path):
                    fail("not installed: %s" % path)
                if source is None:
                    continue
                expected = (read(os.path.join(dist_dir, source)) if source.endswith(".8")
                            else installed_text(dist_dir, source, configured))
                if read(path) != expected:
                    fail("%s differs from dist/%s" % (path, source))
            for program in (binary, helper, udhcpc_script):
                if not os.access(program, os.X_OK) or not os.stat(program).st_mode & 0o111:
                    fail("%s is not executable" % program)
            identity = run([binary, "-V"]).stdout.strip()
            if not re.fullmatch(r"ferrin/[0-9.]+", identity):
                fail("%s -V printed %r" % (binary, identity))
            settings = "settings: %s/ferrin/dhcp.conf" % full(sysconfdir)
            if settings not in run([helper, "--help"]).stdout.splitlines():
                fail("%s does not read the installed settings (%s)" % (helper, settings))
            print("ok: installed in %s: %s" % (root, ", ".join(
                os.path.relpath(p, root) for p in files)))

        # systemd-analyze finds the unit and its ExecStart inside the staged
        # root; the targets the unit is ordered against are copied from the
        # host, without replacing anything that was installed.
        host_units = "/lib/systemd/system"
        staged_units = os.path.join(stage, "usr", "lib", "systemd", "system")
        os.makedirs(staged_units, exist_ok=True)
        for name in os.listdir(host_units):
            source, target = os.path.join(host_units, name), os.path.join(staged_units, name)
            if os.path.lexists(target):
                continue
            if os.path.islink(source):
                os.symlink(os.readlink(source), target)
            elif os.path.isdir(source):
                shutil.copytree(source, target, symlinks=True)
            else:
                shutil.copy2(source, target)
        verify_unit(None, stage + full(mandir), root=stage)


def main(argv):
    if len(argv) < 2:
        fail(__doc__)
    command, args = argv[1], argv[2:]
    try:
        run_check(command, args)
    except unittest.SkipTest as reason:
        print("skipped: %s" % reason)
        sys.exit(SKIPPED)


def run_check(command, args):
    if command == "manual" and len(args) == 3:
        check_manual(*args)
    elif command == "unit" and len(args) == 2:
        check_unit(*args)
    elif command == "helper-manual" and len(args) == 3:
        check_helper_manual(*args)
    elif command == "install" and len(args) == 12:
        check_install(*args)
    else:
        fail(__doc__)


if __name__ == "__main__":
    main(sys.argv)
