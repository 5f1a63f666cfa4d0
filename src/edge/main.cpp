// SPDX-License-Identifier: BSD-2-Clause
// ferrin-6rd: from a DHCP lease's 6rd option to a running tunnel and a LAN
// that gets IPv6 by itself. The DHCP clients' hooks call it at every lease
// event; the unit calls its addr step once the daemon has made its
// interface, and its stopped step when the daemon has stopped.
//
//   up uplink v4 masklen plen prefix br ...   a lease with option 212
//   down uplink                               the lease ended or lost the option
//   addr tun                                  addresses, routes and the LAN after a start
//   stopped tun                               the LAN told the router is gone after a stop
//   watch tun                                 the LAN follows its links (a unit of its own)
//   link tun                                  what a LAN link took is put back (the watcher's)
//   remove                                    everything taken down (the package's removal)
//   show v4 masklen plen prefix br ...        what a lease would give, nothing done
//   status                                    what is in place, and why
//   --help, --version
//
// The events and their steps are in events.cpp; here only the command line
// and the lock.
#include "edge/env_file.h"
#include "edge/events.h"
#include "edge/lan_apply.h"
#include "edge/status.h"
#include "edge/watch.h"

#include <signal.h>
#include <stdlib.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

#ifndef FERRIN_SETTINGS_PATH
#define FERRIN_SETTINGS_PATH "/etc/ferrin/dhcp.conf"
#endif
#ifndef FERRIN_VERSION
#define FERRIN_VERSION "unknown"
#endif

namespace {

const char settings_path[] = FERRIN_SETTINGS_PATH;

// Another event holds the state for a few bounded commands at most.
constexpr int lock_seconds = 60;

void print_usage()
{
    std::printf("usage: ferrin-6rd up uplink v4 masklen plen prefix br ...\n"
                "       ferrin-6rd down uplink\n"
                "       ferrin-6rd addr tun\n"
                "       ferrin-6rd stopped tun\n"
                "       ferrin-6rd watch tun\n"
                "       ferrin-6rd link tun\n"
                "       ferrin-6rd remove\n"
                "       ferrin-6rd show [--settings file] [--radvd] v4 masklen plen prefix br ...\n"
                "       ferrin-6rd status\n"
                "       ferrin-6rd --help | --version\n"
                "settings: %s\n"
                "state: %s\n"
                "history: %s\n",
                settings_path, state_dir, history_path);
}

// Runs event under the helper's lock, which serialises every reading and
// writing of the state; an argument that names no interface is refused first.
template <typename Event, typename... Args>
int locked(const char* name, bool tunnel, Event event, Args... args)
{
    if ((name != nullptr && check_interface_argument(name, tunnel) == -1) ||
        lock_state(lock_seconds) == -1)
        return 1;
    return event(settings_path, args...);
}

// What the DHCP client's hook has in its environment of the lease.
lease_record given_lease()
{
    lease_record given{};
    const char* lease = getenv("new_dhcp_lease_time");
    lease_values(lease != nullptr ? lease : getenv("lease"), getenv("new_dhcp_renewal_time"),
                 getenv("reason"), &given);
    return given;
}

// Whether the stop tells the LAN anything is read without the lock: the
// package's removal holds it while it stops the units.
int command_stopped(const char* tun)
{
    if (check_interface_argument(tun, true) == -1)
        return 1;
    if (stop_tells_lan(tun, getenv("SERVICE_RESULT")) == 0)
        return 0;
    return locked(tun, true, event_stopped, tun);
}

// show's options, then the lease. A leased address never starts with "-":
// what does is an option.
int command_show(const char* const* rest, int count)
{
    const char* file = settings_path;
    bool radvd = false;
    for (; count >= 1 && rest[0][0] == '-'; ++rest, --count) {
        if (std::strcmp(rest[0], "--radvd") == 0) {
            radvd = true;
        } else if (std::strcmp(rest[0], "--settings") == 0 && count >= 2) {
            file = *++rest;
            --count;
        } else {
            std::fprintf(stderr, "ferrin-6rd: %s: %s\n", rest[0],
                         std::strcmp(rest[0], "--settings") == 0 ? "needs a file"
                                                                 : "unknown option");
            print_usage();
            return 1;
        }
    }
    if (count < 1) {
        print_usage();
        return 1;
    }
    return show_lease(file, radvd, rest[0], rest + 1, count - 1);
}

}  // namespace

int main(int argc, char** argv)
{
    openlog("ferrin-6rd", LOG_PID | LOG_PERROR, LOG_DAEMON);
    // A hook may run with SIGCHLD ignored, which would make every child
    // vanish before its status is read; and with no PATH at all.
    signal(SIGCHLD, SIG_DFL);
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 0);

    const char* command = argc > 1 ? argv[1] : "";
    const char* const* rest = argv + 2;
    const int count = argc - 2;
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        print_usage();
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("ferrin-6rd %s\n", FERRIN_VERSION);
        return 0;
    }
    if (std::strcmp(command, "up") == 0 && count >= 2)
        return locked(rest[0], false, event_up, rest[0], rest[1], rest + 2, count - 2,
                      given_lease());
    if (std::strcmp(command, "down") == 0 && count == 1)
        return locked(rest[0], false, event_down, rest[0], given_lease());
    if (std::strcmp(command, "addr") == 0 && count == 1)
        return locked(rest[0], true, event_addr, rest[0]);
    if (std::strcmp(command, "stopped") == 0 && count == 1)
        return command_stopped(rest[0]);
    if (std::strcmp(command, "watch") == 0 && count == 1)
        return check_interface_argument(rest[0], true) == -1 ? 1 : watch_lan(rest[0]);
    if (std::strcmp(command, "link") == 0 && count == 1)
        return locked(rest[0], true, event_link, rest[0]);
    if (std::strcmp(command, "remove") == 0 && count == 0)
        return locked(nullptr, true, event_remove);
    if (std::strcmp(command, "show") == 0)
        return command_show(rest, count);
    if (std::strcmp(command, "status") == 0 && count == 0)
        return print_status(settings_path);
    if (command[0] == '-')
        std::fprintf(stderr, "ferrin-6rd: %s: unknown option\n", command);
    print_usage();
    return 1;
}
