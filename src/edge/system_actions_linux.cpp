// SPDX-License-Identifier: BSD-2-Clause
#include "edge/system_actions.h"

#include "edge/text.h"

#include <dirent.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// systemctl --no-block and ip return at once; a command still running after
// this long is stuck, and the DHCP client must not be held by it.
constexpr int command_seconds = 30;

void pause_ms(long ms)
{
    timespec pause{0, ms * 1000000L};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
}

// Marks every descriptor from 3 on close-on-exec. close_range's flag came
// with Linux 5.11; before it the open ones are found in /proc, and without
// /proc every number up to the limit is tried.
void close_on_exec_from_3()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            const int fd = std::atoi(entry->d_name);
            if (fd >= 3 && fd != dirfd(dir))
                fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        closedir(dir);
        return;
    }
    rlimit limit{};
    const rlim_t top = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                           ? limit.rlim_cur
                           : 65536;
    for (int fd = 3; fd < static_cast<int>(top); ++fd)
        fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// What a child writes on one pipe, kept up to size - 1 bytes (the rest read
// and dropped, so that the child never blocks on a full pipe).
struct pipe_text {
    int fd;
    char* text;
    size_t size;
    size_t used;
};

// Reads what is there; false at the end of the file (or an error).
bool drain(pipe_text* p)
{
    for (;;) {
        char chunk[4096];
        const ssize_t got = read(p->fd, chunk, sizeof chunk);
        if (got == -1 && errno == EINTR)
            continue;
        if (got == -1)
            return errno == EAGAIN;
        if (got == 0)
            return false;
        const size_t room = p->size > p->used + 1 ? p->size - 1 - p->used : 0;
        const size_t take = static_cast<size_t>(got) < room ? static_cast<size_t>(got) : room;
        if (p->text != nullptr) {
            std::memcpy(p->text + p->used, chunk, take);
            p->used += take;
            p->text[p->used] = '\0';
        }
    }
}

// A command's complaint as one line for the log: its lines joined with "; ".
std::string one_line(const char* text)
{
    std::string line;
    for (const char* p = text; *p != '\0';) {
        const char* next = nullptr;
        const char* end = line_end(p, &next);
        // nft underlines the place it means with a line of blanks and carets.
        const std::string one(p, static_cast<size_t>(end - p));
        if (one.find_first_not_of(" ^~\t") != std::string::npos)
            line += (line.empty() ? "" : "; ") + one;
        p = next;
    }
    return line;
}

// Runs argv (looked up in PATH) and returns its exit status, or -1 after
// logging when it could not run, was killed or took too long. With quiet,
// its standard error goes to /dev/null and a non-zero status is not logged;
// otherwise what it writes there ends the line that logs its failure (a
// unit's standard error reaches no one), or is passed on when it succeeds.
// With capture, what it writes on standard output goes there (cut to
// capture_size, terminated).
int run_command(const char* const* argv, int quiet, char* capture = nullptr,
                size_t capture_size = 0)
{
    char text[512];
    int count = 0;
    while (argv[count] != nullptr)
        ++count;
    join_words(argv, count, text, sizeof text);

    int out_fds[2] = {-1, -1};
    int err_fds[2] = {-1, -1};
    if ((capture != nullptr && pipe2(out_fds, O_CLOEXEC | O_NONBLOCK) == -1) ||
        (!quiet && pipe2(err_fds, O_CLOEXEC | O_NONBLOCK) == -1)) {
        syslog(LOG_ERR, "pipe: %m");
        for (int fd : {out_fds[0], out_fds[1], err_fds[0], err_fds[1]})
            if (fd != -1)
                close(fd);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // ip and systemctl get the standard three and nothing else: neither
        // our descriptors nor any the DHCP client left open to its hooks.
        close_on_exec_from_3();
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null != -1)
                dup2(null, STDERR_FILENO);
        } else {
            dup2(err_fds[1], STDERR_FILENO);
        }
        if (capture != nullptr)
            dup2(out_fds[1], STDOUT_FILENO);
        // Their pipes were made non-blocking for this side only.
        fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) & ~O_NONBLOCK);
        fcntl(STDERR_FILENO, F_SETFL, fcntl(STDERR_FILENO, F_GETFL) & ~O_NONBLOCK);
        execvp(argv[0], const_cast<char* const*>(argv));
        syslog(LOG_ERR, "%s: exec: %m", argv[0]);
        _exit(127);
    }
    for (int fd : {out_fds[1], err_fds[1]})
        if (fd != -1)
            close(fd);
    if (pid == -1) {
        syslog(LOG_ERR, "fork: %m");
        for (int fd : {out_fds[0], err_fds[0]})
            if (fd != -1)
                close(fd);
        return -1;
    }

    if (capture != nullptr)
        capture[0] = '\0';
    char complaint[1024] = "";
    pipe_text pipes[2] = {{out_fds[0], capture, capture_size, 0},
                          {err_fds[0], complaint, sizeof complaint, 0}};
    const double deadline = monotonic_seconds() + command_seconds;
    bool late = false;
    // Read to the end of both before waiting for the exit: what the command
    // writes just before it ends is part of its answer.
    for (;;) {
        pollfd fds[2];
        int open_pipes = 0;
        for (pipe_text& p : pipes)
            if (p.fd != -1)
                fds[open_pipes++] = pollfd{p.fd, POLLIN, 0};
        if (open_pipes == 0)
            break;
        const double left = deadline - monotonic_seconds();
        if (left <= 0) {
            late = true;
            break;
        }
        if (poll(fds, static_cast<nfds_t>(open_pipes), static_cast<int>(left * 1000) + 1) == -1 &&
            errno != EINTR) {
            syslog(LOG_ERR, "poll: %m");
            late = true;
            break;
        }
        for (pipe_text& p : pipes)
            if (p.fd != -1 && !drain(&p)) {
                close(p.fd);
                p.fd = -1;
            }
    }
    for (pipe_text& p : pipes)
        if (p.fd != -1)
            close(p.fd);
    // Past the deadline only a command that has ended is not killed: one
    // that left a process of its own holding its output, say.
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done == -1 && errno != EINTR) {
            syslog(LOG_ERR, "waitpid: %m");
            return -1;
        }
        if (late || monotonic_seconds() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            syslog(LOG_ERR, "%s: still running after %d seconds; killed", text, command_seconds);
            return -1;
        }
        pause_ms(10);
    }
    const std::string said = one_line(complaint);
    if (WIFSIGNALED(status)) {
        syslog(LOG_ERR, "%s: killed by signal %d%s%s", text, WTERMSIG(status),
               said.empty() ? "" : ": ", said.c_str());
        return -1;
    }
    const int code = WEXITSTATUS(status);
    if (code != 0 && !quiet)
        syslog(LOG_ERR, "%s: exit status %d%s%s", text, code, said.empty() ? "" : ": ",
               said.c_str());
    else if (complaint[0] != '\0' && write(STDERR_FILENO, complaint, std::strlen(complaint)) < 0) {
        // Passed on as before; a closed standard error loses nothing of ours.
    }
    return code;
}

constexpr char forwarding_path[] = "/proc/sys/net/ipv6/conf/all/forwarding";

}  // namespace

double monotonic_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void tunnel_unit(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "ferrin@%s.service", tun);
}

void radvd_unit(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "ferrin-radvd@%s.service", tun);
}

void watch_unit(const char* tun, char* out, size_t size)
{
    std::snprintf(out, size, "ferrin-lan@%s.service", tun);
}

int unit_active(const char* unit)
{
    const char* argv[] = {"systemctl", "is-active", "--quiet", unit, nullptr};
    return run_command(argv, 1) == 0 ? 1 : 0;
}

int unit_command(const char* verb, const char* unit)
{
    // --no-block: the unit starts after network-online.target, which may wait
    // for the very DHCP client that runs this hook. Waiting for the job here
    // would hold the client, and the boot with it.
    const char* argv[] = {"systemctl", "--no-block", verb, unit, nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int unit_signal(const char* unit, const char* signal)
{
    char option[32];
    std::snprintf(option, sizeof option, "--signal=%s", signal);
    const char* argv[] = {"systemctl", "kill", "--kill-whom=main", option, unit, nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int run_ip(const char* const* args, int quiet)
{
    const char* argv[16] = {"ip", "-6"};
    int n = 2;
    for (int i = 0; args[i] != nullptr && n < 15; ++i)
        argv[n++] = args[i];
    argv[n] = nullptr;
    return run_command(argv, quiet) == 0 ? 0 : -1;
}

int wait_for_interface(const char* name, int seconds)
{
    const double deadline = monotonic_seconds() + seconds;
    while (if_nametoindex(name) == 0) {
        if (monotonic_seconds() >= deadline) {
            syslog(LOG_ERR, "%s: no such interface after %d seconds", name, seconds);
            return -1;
        }
        pause_ms(20);
    }
    return 0;
}

int program_installed(const char* program)
{
    const char* path = getenv("PATH");
    for (const char* p = path != nullptr ? path : ""; *p != '\0';) {
        const size_t length = std::strcspn(p, ":");
        char candidate[512];
        const int n = std::snprintf(candidate, sizeof candidate, "%.*s/%s",
                                    static_cast<int>(length), p, program);
        if (length > 0 && n > 0 && static_cast<size_t>(n) < sizeof candidate &&
            access(candidate, X_OK) == 0)
            return 1;
        p += length;
        if (*p == ':')
            ++p;
    }
    return 0;
}

int check_radvd_config(const char* path)
{
    const char* argv[] = {"radvd", "--configtest", "--config", path, "--logmethod", "stderr_clean",
                          nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int load_nft_file(const char* path)
{
    const char* argv[] = {"nft", "-f", path, nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int check_nft_file(const char* path)
{
    const char* argv[] = {"nft", "-c", "-f", path, nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int subnet_broadcast(const char* interface, const in_addr& address, in_addr* out)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == -1)
        return 0;
    int found = 0;
    for (const ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_netmask == nullptr ||
            a->ifa_addr->sa_family != AF_INET || std::strcmp(a->ifa_name, interface) != 0)
            continue;
        const in_addr own = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
        const in_addr mask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr;
        // A /31 or /32 has no broadcast address.
        if (own.s_addr != address.s_addr || (~ntohl(mask.s_addr) & 0xFFFFFFFEu) == 0)
            continue;
        out->s_addr = own.s_addr | ~mask.s_addr;
        found = 1;
    }
    freeifaddrs(list);
    return found;
}

int forwarding_on()
{
    const int fd = open(forwarding_path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    char value = '0';
    const ssize_t got = read(fd, &value, 1);
    close(fd);
    return got == 1 ? (value != '0') : -1;
}

int turn_on_forwarding()
{
    if (forwarding_on() == 1)
        return 0;
    const int fd = open(forwarding_path, O_WRONLY | O_CLOEXEC);
    if (fd == -1 || write(fd, "1\n", 2) != 2) {
        syslog(LOG_ERR, "%s: write: %m", forwarding_path);
        if (fd != -1)
            close(fd);
        return -1;
    }
    close(fd);
    return 1;
}

int run_capture(const char* const* argv, char* out, size_t size)
{
    return run_command(argv, 1, out, size);
}

namespace {

// Whether one of the lines of text holds words, as whole words.
bool line_holds(const char* text, const char* words)
{
    const size_t length = std::strlen(words);
    for (const char* at = std::strstr(text, words); at != nullptr; at = std::strstr(at + 1, words)) {
        const bool starts = at == text || at[-1] == ' ' || at[-1] == '\n';
        const char end = at[length];
        if (starts && (end == ' ' || end == '\n' || end == '\0'))
            return true;
    }
    return false;
}

// What argv writes on standard output, when it ends with status 0.
bool captured(const char* const* argv, char* out, size_t size)
{
    return run_capture(argv, out, size) == 0;
}

}  // namespace

int link_state(const char* name)
{
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return if_nametoindex(name) != 0 ? 1 : 0;
    ifreq request{};
    copy_text(request.ifr_name, sizeof request.ifr_name, name);
    const int got = ioctl(fd, SIOCGIFFLAGS, &request);
    close(fd);
    if (got == -1)
        return 0;
    return (request.ifr_flags & IFF_UP) != 0 ? 2 : 1;
}

int address_in_place(const char* dev, const char* address)
{
    if (if_nametoindex(dev) == 0)
        return 0;
    static char out[16384];
    const char* argv[] = {"ip", "-6", "-o", "addr", "show", "dev", dev, nullptr};
    return captured(argv, out, sizeof out) && line_holds(out, address) ? 1 : 0;
}

int route_in_place(const char* prefix, const char* how)
{
    static char out[16384];
    const char* argv[] = {"ip", "-6", "route", "show", "exact", prefix, nullptr};
    return captured(argv, out, sizeof out) && line_holds(out, how) ? 1 : 0;
}

int routes_with_metric(const char* metric, char (*prefixes)[64], char (*devs)[16], int max)
{
    static char out[65536];
    const char* argv[] = {"ip", "-6", "route", "show", nullptr};
    if (!captured(argv, out, sizeof out))
        return 0;
    int count = 0;
    for (const char* p = out; *p != '\0' && count < max;) {
        const char* next = nullptr;
        const char* end = line_end(p, &next);
        // "2001:db8:2:a01::/64 dev eth1 proto static metric 2048 pref medium"
        char words[12][64];
        int n = 0;
        for (const char* w = p; w < end && n < 12;) {
            while (w < end && *w == ' ')
                ++w;
            const char* stop = w;
            while (stop < end && *stop != ' ')
                ++stop;
            if (stop > w && static_cast<size_t>(stop - w) < sizeof words[0]) {
                std::memcpy(words[n], w, static_cast<size_t>(stop - w));
                words[n++][stop - w] = '\0';
            }
            w = stop;
        }
        const char* dev = nullptr;
        bool metric_matches = false;
        for (int i = 1; i + 1 < n; ++i) {
            if (std::strcmp(words[i], "dev") == 0)
                dev = words[i + 1];
            if (std::strcmp(words[i], "metric") == 0 && std::strcmp(words[i + 1], metric) == 0)
                metric_matches = true;
        }
        if (n > 0 && std::strchr(words[0], '/') != nullptr && dev != nullptr && metric_matches &&
            std::strlen(dev) < sizeof devs[0]) {
            copy_text(prefixes[count], sizeof prefixes[0], words[0]);
            copy_text(devs[count], sizeof devs[0], dev);
            ++count;
        }
        p = next;
    }
    return count;
}

int table_loaded(const char* name)
{
    static char out[16384];
    const char* argv[] = {"nft", "list", "tables", "ip6", nullptr};
    const std::string line = std::string("table ip6 ") + name;
    return captured(argv, out, sizeof out) && line_holds(out, line.c_str()) ? 1 : 0;
}

int keep_addresses_on_down(const char* dev)
{
    char path[128];
    std::snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%s/keep_addr_on_down", dev);
    char value[16];
    if (read_text_file(path, value, sizeof value) == 1 && value[0] != '0')
        return 0;
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return 0;
    const bool set = write(fd, "1\n", 2) == 2;
    close(fd);
    return set ? 1 : 0;
}

int unit_stop_and_wait(const char* unit)
{
    const char* argv[] = {"systemctl", "stop", unit, nullptr};
    return run_command(argv, 0) == 0 ? 0 : -1;
}

int unit_restarting(const char* unit)
{
    static char out[4096];
    const char* argv[] = {"systemctl", "list-jobs", "--no-legend", "--plain", unit, nullptr};
    return captured(argv, out, sizeof out) && line_holds(out, "restart") ? 1 : 0;
}

int run_self(const char* const* args)
{
    const char* argv[8] = {"/proc/self/exe"};
    int n = 1;
    for (int i = 0; args[i] != nullptr && n < 7; ++i)
        argv[n++] = args[i];
    argv[n] = nullptr;
    return run_command(argv, 0);
}
