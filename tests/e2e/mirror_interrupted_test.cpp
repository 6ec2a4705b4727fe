// dircast-mirror killed at random moments while it replaces an older mirror,
// with a reader walking the mirror all along: no file is ever seen partly
// written under its own name, and the next run converges on the share (a
// newer one still, so that it too has to replace files, and long enough to
// report its progress).
#include "support/mirror_runner.hpp"

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace dircast_test;

namespace {

constexpr int FILES = 30;

// Every byte of a version says which file and which version it belongs to,
// so any mixture or cut shows.
std::string version(int version, int file)
{
	std::string unit = "v" + std::to_string(version) + " f" + std::to_string(file) + "|";
	std::string out;

	while (out.size() < (size_t)(20000 + 15000 * version))
		out += unit;
	return out;
}

// Reads every file of the mirror over and over; counts files that are no
// version whole.
void read_mirror(const std::string &root, std::atomic<bool> &stop, std::atomic<int> &torn)
{
	while (!stop) {
		for (int i = 0; i < FILES; i++) {
			std::string path = root + "/f" + std::to_string(i);
			if (!exists(path))
				continue;
			std::string content = read_file(path);
			if (content != version(1, i) && content != version(2, i) && content != version(3, i))
				torn++;
		}
	}
}

// File requests get no record, so each turn falls back to the full archive,
// which arrives in 20 pieces pause_ms apart.
ScriptedReply answer(const std::string &request, int generation, int pause_ms)
{
	std::vector<Entry> share;

	for (int i = 0; i < FILES; i++)
		share.push_back({"f" + std::to_string(i), version(generation, i)});
	if (request == MANIFEST_REQUEST)
		return {manifest_text(generation, share)};
	if (request != ARCHIVE_REQUEST)
		return {archive_text({})};
	std::string archive = archive_text(share);
	ScriptedReply reply;
	size_t piece = archive.size() / 20 + 1;

	reply.head = archive.substr(0, piece);
	for (size_t at = piece; at < archive.size(); at += piece)
		reply.pieces.push_back(archive.substr(at, piece));
	reply.pause_ms = pause_ms;
	return reply;
}

TEST(MirrorInterrupted, KilledMidSyncNeverShowsAPartialFileAndConverges)
{
	std::atomic<int> generation{2}, pause_ms{40}, torn{0};
	std::atomic<bool> stop{false};
	std::mt19937 random(12);
	Mirror m;

	make_dirs(m.root);
	for (int i = 0; i < FILES; i++)
		write_file(m.root + "/f" + std::to_string(i), version(1, i));
	ScriptedHost host([&](const std::string &r, int) { return answer(r, generation, pause_ms); });
	std::thread reader(read_mirror, m.root, std::ref(stop), std::ref(torn));

	// Each kill comes a random moment after the mirror began writing a file;
	// a partial entry left behind shows that it landed mid-write.
	int mid_write = 0;
	for (int i = 0; i < 7; i++) {
		m.process.start(m.args(host.port(), "--once"), m.tmp / "killed.log");
		EXPECT_TRUE(wait_until([&] { return exists(m.root + "/:dircast-partial") || !m.process.running(); }));
		std::this_thread::sleep_for(std::chrono::milliseconds(random() % 100));
		kill(m.process.pid, SIGKILL);
		m.process.wait_exit();
		mid_write += exists(m.root + "/:dircast-partial");
	}
	generation = 3;
	pause_ms = 150;  // some three seconds: long enough to report progress
	auto started = std::chrono::steady_clock::now();
	RunResult last = m.once(host.port());
	long seconds = (std::chrono::steady_clock::now() - started) / std::chrono::seconds(1);
	stop = true;
	reader.join();

	EXPECT_EQ(torn, 0) << "files seen neither old nor new";
	EXPECT_EQ(last.status, 0) << last.output;
	for (int i = 0; i < FILES; i++)
		EXPECT_EQ(read_file(m.root + "/f" + std::to_string(i)), version(3, i)) << i;
	EXPECT_EQ(list_tree(m.root).size(), (size_t)FILES) << "no partial entry is left";
	int progress = count_of(last.output, "dircast-mirror: received ");
	EXPECT_GE(progress, 1) << last.output;
	EXPECT_LE(progress, seconds) << "at most one progress line a second";
	EXPECT_GT(mid_write, 0) << "no kill landed while a file was being written";
	size_t total = 0;
	for (int i = 0; i < FILES; i++)
		total += version(3, i).size();
	EXPECT_NE(last.output.find(" of " + std::to_string(total) + " bytes\n"), std::string::npos) << last.output;
}

} // namespace
