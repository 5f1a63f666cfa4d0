// SPDX-License-Identifier: BSD-2-Clause
// glibc keeps the program name in program_invocation_short_name, where its
// own messages (getopt's complaints) find it too.
#include "daemon/program_name.h"

#include <errno.h>

#include <cstring>

void set_program_name(const char* argv0)
{
    if (argv0 == nullptr || *argv0 == '\0')
        return;
    const char* slash = std::strrchr(argv0, '/');
    program_invocation_short_name = const_cast<char*>(slash != nullptr ? slash + 1 : argv0);
}

const char* program_name()
{
    return program_invocation_short_name;
}
