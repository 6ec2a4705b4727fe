// Knowing when the share changed, for hosts that announce their manifest
// hash in every beacon: inotify watches on every directory of the share,
// and a fresh hash walk a short settling time after the last event. While
// nothing changes, nothing is walked or read. Where no events can be had
// (the watches ran out, inotify is missing, a network filesystem whose
// changes come from other machines), the share is walked every few seconds
// instead, which costs metadata reads only for unchanged files.
#pragma once

namespace dircast {

// Takes the first walk in hand (done a piece per turn, like any walk).
void start_share_watch();
// The descriptor to wait on for events, or -1.
long share_watch_fd();
// One turn's share of the watch's work, given the events polled on its
// descriptor; 1 when the hash to announce has just changed.
int tend_share_watch(short revents, unsigned long now);
// Milliseconds until the watch has work, 0 while it walks, -1 for none.
long share_watch_wait(unsigned long now);
// 1 with the hash to announce, once a walk has completed.
int announced_share_hash(unsigned *hash);

} // namespace dircast
