// SPDX-License-Identifier: BSD-2-Clause
// ferrin: the customer-edge end of a 6rd tunnel in user space.
//
// Start-up takes every resource in a fixed order, with the privileges the
// process started with; every exit of the process happens here.
#include "daemon/command_line.h"
#include "daemon/detach.h"
#include "daemon/pidfile.h"
#include "daemon/privileges.h"
#include "daemon/program_name.h"
#include "daemon/signal_relay.h"
#include "daemon/tunnel_context.h"
#include "forward/batch_loop.h"
#include "forward/event_loop.h"
#include "link/raw_endpoint.h"
#include "link/tun_device.h"
#include "link/tun_offload.h"
#include "mapping/prefix.h"
#include "trace/log.h"
#include "trace/trace.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Held until the process ends; the end of the process releases it.
TunnelContext Context;

}  // namespace

int main(int argc, char** argv)
{
    set_program_name(argv[0]);
    // Until the detach every message also goes to standard error.
    log_open(program_name(), true);
    if (open_standard_descriptors() == -1)
        return 1;

    const int first = read_options(argc, argv);
    if (first < 0)
        return 1;
    if (argc - first != 4) {
        print_usage();
        return 1;
    }
    const char* tun_name = argv[first];
    const char* prefix_argument = argv[first + 1];
    const char* relay_text = argv[first + 2];
    const char* my_v4_text = argv[first + 3];

    if (DebugLevel == 0)
        log_set_mask(LOG_UPTO(LOG_INFO));

    TunnelContext& ctx = Context;
    ctx.buffer_size = tunnel_buffer_size;
    ctx.buffer = static_cast<uint8_t*>(malloc(tunnel_buffer_size));
    if (ctx.buffer == nullptr) {
        log_message(LOG_ERR, "out of memory");
        return 1;
    }

    if (parse_prefix_argument(prefix_argument, ctx) == -1)
        return 1;
    if (resolve_relay(relay_text, ctx) == -1)
        return 1;

    // The batch size decides how the device is opened, so it is read first.
    int batch = 1;
    if (BatchArg != nullptr) {
        batch = parse_number(BatchArg, 1, max_batch, "batch size");
        if (batch == -1)
            return 1;
    }
    if (batch > 1) {
        bool offloads = false;
        ctx.tun_fd = open_tun_device_for_batches(tun_name, &offloads);
        if (ctx.tun_fd == -1 || prepare_batches(batch, offloads) == -1)
            return 1;
    } else {
        ctx.tun_fd = open_tun_device(tun_name);
        if (ctx.tun_fd == -1)
            return 1;
    }
    if (configure_interface(tun_name) == -1)
        return 1;
    if (open_raw_endpoint(my_v4_text, ctx) == -1)
        return 1;
    if (install_signal_relay() == -1)
        return 1;
    if (check_select_limit(ctx) == -1)
        return 1;

    if (CommonLenArg != nullptr) {
        const int common_len =
            parse_number(CommonLenArg, 0, max_common_len, "common prefix length of IPv4");
        if (common_len == -1)
            return 1;
        ctx.v4_common_len = common_len;
    }
    if (delegated_prefix_len(ctx) > max_delegated_len) {
        log_message(LOG_ERR, "delegated prefix length is longer than 64");
        return 1;
    }
    embed_v4_suffix(&ctx.prefix, ctx.prefix_len, &ctx.my_v4_addr, ctx.v4_common_len);

    if (!ForegroundFlag && make_pidfile(program_name()) == -1)
        return 1;
    if (UserArg != nullptr && drop_privileges(UserArg) == -1) {
        remove_pidfile();
        return 1;
    }
    if (!ForegroundFlag) {
        if (detach() == -1) {
            remove_pidfile();
            return 1;
        }
        if (write_pidfile() == -1) {
            remove_pidfile();
            return 1;
        }
        // Nothing can fail from here on: the starter may return, and
        // messages go to syslog only.
        report_ready();
    }

    drop_fragment_sender_input();
    log_message(LOG_NOTICE, "%s started", identity);
    if ((batch > 1 ? run_batch_loop(ctx) : run_event_loop(ctx)) == -1) {
        // The PID file stays: only a requested stop removes it.
        log_message(LOG_NOTICE, "%s aborting", identity);
        return 1;
    }
    log_message(LOG_NOTICE, "%s exiting", identity);
    remove_pidfile();
    return 0;
}
