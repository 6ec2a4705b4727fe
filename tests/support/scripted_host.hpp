// Test-only: a host on a free loopback port whose replies the test writes,
// for what a real dircast-serve never sends. One connection at a time, like
// the real host; every request is recorded.
#pragma once

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

private:
	void serve();

	Answer answer_;
	int listener_ = -1, port_ = 0, turn_ = 0;
	std::atomic<bool> stop_{false};
	std::mutex mutex_;
	std::vector<std::string> requests_;
	std::thread thread_;
};

// Protocol documents as a host would write them.
struct Entry {
	std::string path;
	std::string content;  // files only
	bool dir = false;
};
std::string manifest_text(unsigned hash, const std::vector<Entry> &entries);
std::string archive_text(const std::vector<Entry> &entries);

} // namespace dircast_test
