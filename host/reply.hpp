// One answer on one accepted connection, gathered into large sends. The
// first failed send marks the reply broken and every later send on it
// returns at once, so a stalled peer costs one send time-out in all, not
// one per record.
#pragma once

namespace dircast {

struct Reply {
	long socket;
	long status;   // 0 while the peer takes the answer, else the first failure
	long pending;  // bytes gathered and not yet sent
};

long reply_bytes(Reply *reply, const void *bytes, long length);
long reply_text(Reply *reply, const char *text);
// Sends what is gathered; the answer is complete once this returns.
void reply_finish(Reply *reply);
// Ends the answer short: nothing more is sent, so the peer sees no end marker.
void reply_cut(Reply *reply);
int reply_broken(const Reply *reply);

} // namespace dircast
