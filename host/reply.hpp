// One answer on one accepted connection. The first failed send marks the
// reply broken and every later send on it returns at once, so a stalled peer
// costs one send time-out in all, not one per record.
#pragma once

namespace dircast {

struct Reply {
	long socket;
	long status;  // 0 while the peer takes the answer, else the first failure
};

long reply_bytes(Reply *reply, const void *bytes, long length);
long reply_text(Reply *reply, const char *text);
// Ends the answer short: nothing more is sent, so the peer sees no end marker.
void reply_cut(Reply *reply);
int reply_broken(const Reply *reply);

} // namespace dircast
