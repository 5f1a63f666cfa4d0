// SPDX-License-Identifier: BSD-2-Clause
// The LAN follows its links. A process of its own (the unit ferrin-lan@TUN,
// bound to the tunnel's) listens to the kernel's news of the tunnel's LAN
// interfaces: a link that comes, goes, goes down or up, an address taken
// away, IPv6 forwarding turned on or off. A moment after such news (the
// kernel tells a link's change in bursts) it runs the link event, which
// puts back what is missing. The event runs as a process of its own
// (ferrin-6rd link TUN), so that it takes and gives back the helper's lock
// like every event. Nothing runs while nothing changes; at most one event a
// second whatever the news, and an event that puts nothing back changes
// nothing, so its own news never makes another.
#pragma once

// Runs until it is stopped (SIGTERM). 1 when the kernel can't be listened
// to (the unit then starts it again).
int watch_lan(const char* tun);
