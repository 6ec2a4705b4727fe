// Test-only: a host on a free loopback port whose replies the test writes,
// for what a real dircast-serve never sends. One connection at a time, like
// the real host; every request is recorded.
#pragma once

#include "documents.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dircast_test {

struct ScriptedReply {
	std::string head;
	// Sent once the client has closed its end or a second has passed, so a
	// client that stops reading at the end of head shows it.
	std::string tail;
	// After head and before tail: each piece sent pause_ms after the last
	// (so each arrives in a receive of its own), then repeat sent over and
	// over, pause_ms apart, until the client stops taking it.
	std::vector<std::string> pieces;
	std::string repeat;
	int pause_ms = 0;
	// At the end the connection is held open this long, or until the client
	// closes it: a host that stalls in the middle of its reply.
	int hold_ms = 0;
};

class ScriptedHost {
public:
	// turn: how many manifest requests have arrived, this one included; a
	// client begins every turn with one.
	using Answer = std::function<ScriptedReply(const std::string &request, int turn)>;

	explicit ScriptedHost(Answer answer);
	~ScriptedHost();
	int port() const { return port_; }
	std::vector<std::string> requests();
	// Bytes of repeat that the client took before it closed.
	long long repeated_bytes() const { return repeated_; }

private:
	void serve();

	Answer answer_;
	int listener_ = -1, port_ = 0, turn_ = 0;
	std::atomic<bool> stop_{false};
	std::atomic<long long> repeated_{0};
	std::mutex mutex_;
	std::vector<std::string> requests_;
	std::thread thread_;
};

} // namespace dircast_test
