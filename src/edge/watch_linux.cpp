// SPDX-License-Identifier: BSD-2-Clause
// The link watcher on Linux: an rtnetlink socket subscribed to the link,
// IPv6 address and IPv6 forwarding (netconf) groups.
#include "edge/watch.h"

#include "edge/env_file.h"
#include "edge/lan_apply.h"
#include "edge/system_actions.h"

#include <linux/netconf.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A link going down or coming up is a burst of news within milliseconds:
// the event waits for a quiet moment, but never longer than the most.
constexpr double quiet_seconds = 0.25;
constexpr double most_seconds = 1.0;
// Between two events, whatever comes.
constexpr double gap_seconds = 1.0;

// The interfaces whose news matters: the plan's LANs, and those of stale
// prefixes (their routes go with a link that goes down). Read again at every
// piece of news, as a lease event may have changed them.
struct watched {
    char names[max_lans + max_history][16];
    int count;
};

void read_watched(const char* tun, watched* out)
{
    static tunnel_plan plan;
    static char text[env_text_size];
    out->count = 0;
    if (read_env(tun, &plan, text, sizeof text) != 1)
        return;
    for (int i = 0; i < plan.lan_count; ++i)
        std::memcpy(out->names[out->count++], plan.lans[i].name, 16);
    const prefix_history history = read_history();
    for (int i = 0; i < history.count; ++i)
        if (history.records[i].stale_until != 0)
            std::memcpy(out->names[out->count++], history.records[i].lan, 16);
}

bool is_watched(const watched& w, const char* name)
{
    for (int i = 0; i < w.count; ++i)
        if (std::strncmp(w.names[i], name, 16) == 0)
            return true;
    return false;
}

// The attribute of type in the attributes after the fixed header, or null.
const rtattr* attribute(const nlmsghdr* h, size_t header, unsigned short type)
{
    if (h->nlmsg_len < NLMSG_LENGTH(header))
        return nullptr;
    int length = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(header));
    for (const rtattr* a = reinterpret_cast<const rtattr*>(
             reinterpret_cast<const char*>(NLMSG_DATA(h)) + NLMSG_ALIGN(header));
         RTA_OK(a, length); a = RTA_NEXT(a, length))
        if (a->rta_type == type)
            return a;
    return nullptr;
}

// Whether the message is news of a watched interface, or of forwarding.
bool news(const nlmsghdr* h, const watched& w)
{
    switch (h->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK: {
        const rtattr* name = attribute(h, sizeof(ifinfomsg), IFLA_IFNAME);
        if (name == nullptr || RTA_PAYLOAD(name) == 0)
            return false;
        char text[IF_NAMESIZE + 1] = "";
        std::memcpy(text, RTA_DATA(name), RTA_PAYLOAD(name) < IF_NAMESIZE ? RTA_PAYLOAD(name) : IF_NAMESIZE);
        return is_watched(w, text);
    }
    case RTM_DELADDR: {
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
            return false;
        const auto* a = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
        char text[IF_NAMESIZE] = "";
        return a->ifa_family == AF_INET6 && if_indextoname(a->ifa_index, text) != nullptr &&
               is_watched(w, text);
    }
    case RTM_NEWNETCONF: {
        const rtattr* index = attribute(h, sizeof(netconfmsg), NETCONFA_IFINDEX);
        return attribute(h, sizeof(netconfmsg), NETCONFA_FORWARDING) != nullptr &&
               index != nullptr && RTA_PAYLOAD(index) >= sizeof(int) &&
               *static_cast<const int*>(RTA_DATA(index)) == NETCONFA_IFINDEX_ALL;
    }
    }
    return false;
}

int listen_socket()
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd == -1) {
        syslog(LOG_ERR, "netlink socket: %m");
        return -1;
    }
    // Room for the news of many links at once; beyond it, the kernel says
    // so (ENOBUFS) and the event runs all the same.
    const int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV6_IFADDR;
    const int netconf = RTNLGRP_IPV6_NETCONF;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1 ||
        setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &netconf, sizeof netconf) == -1) {
        syslog(LOG_ERR, "netlink bind: %m");
        close(fd);
        return -1;
    }
    return fd;
}

// Reads all that is there: 1 with news, 0 without, -1 after logging.
int read_news(int fd, const char* tun)
{
    watched w{};
    read_watched(tun, &w);
    int found = 0;
    for (;;) {
        alignas(nlmsghdr) static char buffer[65536];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return found;
        // News was lost: something may have changed.
        if (got == -1 && errno == ENOBUFS) {
            found = 1;
            continue;
        }
        if (got == -1) {
            syslog(LOG_ERR, "netlink recv: %m");
            return -1;
        }
        int length = static_cast<int>(got);
        for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(h, length);
             h = NLMSG_NEXT(h, length))
            if (news(h, w))
                found = 1;
    }
}

}  // namespace

int watch_lan(const char* tun)
{
    const int fd = listen_socket();
    if (fd == -1)
        return 1;
    syslog(LOG_INFO, "%s: following the LAN's links", tun);
    const char* event[] = {"link", tun, nullptr};
    // What changed while no one listened (the watcher started late, or
    // again) is looked at once.
    double first = monotonic_seconds(), last = first, ran = first - gap_seconds;
    bool pending = true;
    for (;;) {
        int wait = -1;
        if (pending) {
            double due = last + quiet_seconds < first + most_seconds ? last + quiet_seconds
                                                                     : first + most_seconds;
            if (due < ran + gap_seconds)
                due = ran + gap_seconds;
            const double left = due - monotonic_seconds();
            wait = left > 0 ? static_cast<int>(left * 1000) + 1 : 0;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, wait);
        if (ready == -1 && errno != EINTR) {
            syslog(LOG_ERR, "poll: %m");
            close(fd);
            return 1;
        }
        if (ready == 1) {
            const int got = read_news(fd, tun);
            if (got == -1) {
                close(fd);
                return 1;
            }
            if (got == 1) {
                last = monotonic_seconds();
                if (!pending)
                    first = last;
                pending = true;
            }
            continue;
        }
        if (pending && ready == 0) {
            pending = false;
            ran = monotonic_seconds();
            run_self(event);
        }
    }
}
