// One answer on one connection: its bytes are gathered in the connection's
// own buffer and handed to the kernel as the peer's window takes them, never
// waiting on the peer. The first failed send marks the reply broken.
#pragma once

namespace dircast {

// Record lines are short and many, and gathering them saves a system call
// per line; file content is read straight into the same room. Large enough
// for many lines, small enough to keep one per connection slot.
constexpr int REPLY_BUFFER_SIZE = 16384;

struct Reply {
	long socket;
	long status;  // 0 while the peer takes the answer, else the first failure
	int start;    // bytes [start, end) are gathered and not yet sent
	int end;
	char bytes[REPLY_BUFFER_SIZE];
};

void open_reply(Reply *reply, long socket);
// Free room behind the gathered bytes, moving them to the front first when
// that makes room.
int reply_room(Reply *reply);
char *reply_tail(Reply *reply);
// n bytes were written at reply_tail.
void reply_commit(Reply *reply, int n);
// Gathers the text's first bytes as far as room allows; the rest, or null.
const char *reply_text(Reply *reply, const char *text);
int reply_pending(const Reply *reply);
// One send of what is gathered: the bytes the kernel took, -EAGAIN while the
// peer's window is full, or the failure (the reply is then broken).
long reply_send(Reply *reply);
// Ends the answer short: nothing more is sent, so the peer sees no end marker.
void reply_cut(Reply *reply);
int reply_broken(const Reply *reply);

} // namespace dircast
