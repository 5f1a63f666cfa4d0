#include "daemon/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int drop_privileges(const char* user)
{
    const passwd* entry = getpwnam(user);
    if (entry == nullptr) {
        syslog(LOG_ERR, "%s: user not found", user);
        return -1;
    }
    // Copied before the calls below: they may reuse getpwnam's storage.
    const uid_t uid = entry->pw_uid;
    const gid_t gid = entry->pw_gid;

    // The group first: once the user ID has changed, the group can't be.
    if (setgid(gid) == -1) {
        syslog(LOG_ERR, "setgid: %m");
        return -1;
    }
    if (setgroups(1, &gid) == -1) {
        syslog(LOG_ERR, "setgroups: %m");
        return -1;
    }
    if (setuid(uid) == -1) {
        syslog(LOG_ERR, "setuid: %m");
        return -1;
    }
    return 0;
}
