// dircast-mirror end to end against a scripted host: the decision table over
// several turns, exit statuses, limits, discovery, and replies a real host
// never sends.
#include "support/loopback.hpp"
#include "support/mirror_runner.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

using namespace dircast_test;

namespace {

const std::vector<Entry> SHARE = {{"top", ""}, {"d", "", true}, {"d/f", "x"}};
const std::vector<std::string> SHARE_TREE = {"d d/", "f d/f 1", "f top 0"};

TEST(MirrorScripted, FirstSyncLogsEveryLineAndSendsExactRequests)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
	Mirror m;
	RunResult run = m.once(host.port());
	std::string connect = "dircast-mirror: connecting to advertised host:" + std::to_string(host.port()) +
			      "\ndircast-mirror: connect ok\n";

	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output, "dircast-mirror: start\ndircast-mirror: using direct host\n" + connect +
				      "dircast-mirror: manifest request sent\ndircast-mirror: manifest hash 7\n" +
				      connect + "dircast-mirror: archive request sent\n"
				      "dircast-mirror: mirror root " + m.root + "\n"
				      "dircast-mirror: mirrored file top\ndircast-mirror: mirrored dir d\n"
				      "dircast-mirror: mirrored file d/f\n"
				      "dircast-mirror: archive received\ndircast-mirror: pruning mirror root\n"
				      "dircast-mirror: mapped " + m.dos + "/y: to " + m.root + "\n"
				      "dircast-mirror: sync complete\n");
	EXPECT_EQ(host.requests(), (std::vector<std::string>{MANIFEST_REQUEST, ARCHIVE_REQUEST}));
	EXPECT_EQ(list_tree(m.root), SHARE_TREE);
}

// The lines that tell each turn's decisions apart, in order.
std::vector<std::string> decisions(const std::string &log)
{
	const char *keys[] = {"no share changes", "sync complete", "delta failed", "delta changed",
			      "incomplete", "changed while it was sent"};
	std::vector<std::string> out;
	size_t start = 0;

	for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1)
		for (const char *k : keys)
			if (log.substr(start, end - start).find(k) != std::string::npos)
				out.push_back(k);
	return out;
}

struct Scenario {
	const char *name;
	ScriptedHost::Answer answer;
	int turns;
	std::vector<std::string> decisions;
	int top_size;  // of the mirrored "top" at the end
};

const std::vector<Entry> CHANGED = {{"top", "new"}, {"d", "", true}, {"d/f", "x"}};

const Scenario SCENARIOS[] = {
	{"same hash, new hash over an equal tree, failed manifest",
	 [](const std::string &r, int turn) {
		 return turn == 4 && r == MANIFEST_REQUEST ? ScriptedReply{"DC-SHARE-MANIFEST/1\nhash=9\n"}
							   : publish(r, SHARE, turn < 3 ? 7 : 8);
	 },
	 4, {"sync complete", "no share changes", "delta changed", "sync complete", "incomplete", "sync complete"}, 0},
	// A failed file fetch falls back and forgets the hash: the next turn
	// runs a delta again before the one after reports no changes.
	{"file fetch cut off",
	 [](const std::string &r, int turn) {
		 if (turn == 2 && r.rfind(dircast::wire::FILE_PREFIX, 0) == 0)
			 return ScriptedReply{archive_text({CHANGED[0]}).substr(0, 60)};
		 return turn == 1 ? publish(r, SHARE, 7) : publish(r, CHANGED, 8);
	 },
	 4, {"sync complete", "incomplete", "delta failed", "sync complete", "delta changed", "sync complete",
	     "no share changes"}, 3},
	// A single-file reply without the file's record (the host could not
	// read it) is a failed fetch too: the stale copy is not taken as new.
	{"file reply without its record",
	 [](const std::string &r, int turn) {
		 if (turn == 2 && r.rfind(dircast::wire::FILE_PREFIX, 0) == 0)
			 return ScriptedReply{archive_text({})};
		 return turn == 1 ? publish(r, SHARE, 7) : publish(r, CHANGED, 8);
	 },
	 4, {"sync complete", "delta failed", "sync complete", "delta changed", "sync complete", "no share changes"}, 3},
	// A file in the way of a directory: the write fails, so the hash is not
	// remembered and the next turn repairs the mirror.
	{"write failure",
	 [](const std::string &r, int turn) {
		 std::vector<Entry> blocked = {{"d", "in the way"}, {"d/f", "x"}};
		 return publish(r, turn == 1 && r != MANIFEST_REQUEST ? blocked : SHARE, 5);
	 },
	 3, {"sync complete", "delta changed", "sync complete", "no share changes"}, 0},
	// The archive brings other content of the same size than the manifest
	// listed (the file changed between the two requests): the stamp taken on
	// the manifest's word is proved wrong in the pause, and the next turn
	// fetches the file again although the share hash is the same.
	{"file changed between manifest and archive",
	 [](const std::string &r, int turn) {
		 std::vector<Entry> before = {{"top", "old"}, {"d", "", true}, {"d/f", "x"}};
		 return publish(r, turn == 1 && r == ARCHIVE_REQUEST ? before : CHANGED, 8);
	 },
	 3, {"sync complete", "changed while it was sent", "delta changed", "sync complete", "no share changes"}, 3},
	// A host that answers nothing after the first turn: every later turn
	// fails both fetches, and the mirror and the polling go on.
	{"host gone silent",
	 [](const std::string &r, int turn) { return turn == 1 ? publish(r, SHARE, 7) : ScriptedReply{}; },
	 3, {"sync complete", "incomplete", "incomplete", "incomplete", "incomplete"}, 0},
};

TEST(MirrorScripted, DecisionTableOverSeveralTurns)
{
	for (const Scenario &s : SCENARIOS) {
		ScriptedHost host(s.answer);
		Mirror m;

		EXPECT_EQ(decisions(m.run_turns(host.port(), s.turns)), s.decisions) << s.name;
		EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 1",
								       "f top " + std::to_string(s.top_size)}))
			<< s.name;
	}
}

// What a restart's quick check relies on: each file of a full sync carries
// its content hash in its time, taken on the manifest's word (an odd second)
// only where the manifest lists it with the size the archive gives, and
// hashed as it arrived (an even second) everywhere else. A running mirror
// then proves the stamps taken on trust while it waits.
struct StampCase {
	const char *name;
	std::vector<Entry> listed;  // what the manifest lists; none: it is cut
	std::string sent;           // "top" in the archive
	bool trusted;
	std::string stamped;  // whose hash the stamp carries
};

std::pair<long, long> mirrored_time(const Mirror &m)
{
	struct stat st = {};

	EXPECT_EQ(lstat((m.root + "/top").c_str(), &st), 0);
	return {st.st_mtim.tv_sec & 1, st.st_mtim.tv_nsec};
}

TEST(MirrorScripted, FullSyncsStampOnTrustOnlyWhatTheManifestListsAlike)
{
	const StampCase cases[] = {
		{"listed alike", {{"top", "new"}}, "new", true, "new"},
		{"same size, other content", {{"top", "new"}}, "old", true, "new"},
		{"another size", {{"top", "new"}}, "longer", false, "longer"},
		{"not listed", {{"other", "new"}}, "new", false, "new"},
		{"manifest cut", {}, "new", false, "new"},
	};
	for (const StampCase &c : cases) {
		ScriptedHost host([&c](const std::string &r, int) {
			if (r == MANIFEST_REQUEST && c.listed.empty())
				return ScriptedReply{"DC-SHARE-MANIFEST/1\nhash=9\n"};
			return publish(r, r == MANIFEST_REQUEST ? c.listed : std::vector<Entry>{{"top", c.sent}}, 7);
		});
		Mirror m;
		RunResult run = m.once(host.port());

		EXPECT_EQ(run.status, 0) << c.name << "\n" << run.output;
		EXPECT_EQ(mirrored_time(m), std::make_pair(c.trusted ? 1l : 0l, (long)(content_hash(c.stamped) % 1000000000u)))
			<< c.name;
	}

	ScriptedHost host([](const std::string &r, int) { return publish(r, {{"top", "new"}}, 7); });
	Mirror m;
	long stamp = (long)(content_hash("new") % 1000000000u);
	m.once(host.port());
	EXPECT_EQ(mirrored_time(m), std::make_pair(1l, stamp));
	m.run_turns(host.port(), 2);
	EXPECT_EQ(mirrored_time(m), std::make_pair(0l, stamp)) << "proved in the pause";
}

// A file a --once run stamped on trust, the archive's other than the manifest's:
// the next run reads and fetches it, and stamps it by its bytes, proved.
TEST(MirrorScripted, AStampTakenOnTrustIsReadByTheNextRun)
{
	std::atomic<bool> honest{false};
	ScriptedHost host([&](const std::string &r, int) {
		return publish(r, {{"top", r == ARCHIVE_REQUEST && !honest ? "evil" : "good"}}, 7);
	});
	Mirror m;

	m.once(host.port());
	honest = true;
	RunResult next = m.once(host.port());
	EXPECT_EQ(count_of(next.output, "dircast-mirror: delta changed files 1 skipped 0\n"), 1) << next.output;
	EXPECT_EQ(read_file(m.root + "/top"), "good");
	EXPECT_EQ(mirrored_time(m), std::make_pair(0l, (long)(content_hash("good") % 1000000000u)));
}

// A copy written while the delta reads it through (at its first read)
// proves nothing, and is fetched again.
TEST(MirrorScripted, AFileWrittenWhileItIsProvedIsFetchedAgain)
{
	std::string big(64 << 20, 'b');
	ScriptedHost host([&](const std::string &r, int) { return publish(r, {{"top", big}}, 7); });
	Mirror m;
	std::string top = m.root + "/top";
	int watch = inotify_init1(0);

	make_dirs(m.root);
	write_file(top, big);
	inotify_add_watch(watch, top.c_str(), IN_ACCESS);
	std::thread writer([&] {
		pollfd ready = {watch, POLLIN, 0};
		int fd = open(top.c_str(), O_WRONLY);
		EXPECT_TRUE(poll(&ready, 1, 20000) == 1 && pwrite(fd, "X", 1, 0) == 1);
		close(fd);
	});
	RunResult run = m.once(host.port());
	writer.join();
	close(watch);
	EXPECT_NE(run.output.find("dircast-mirror: fetching changed file top\n"), std::string::npos) << run.output;
	EXPECT_TRUE(read_file(top) == big);
}

// The pause proves a full sync's trusted stamp first, yet the next turn
// starts an interval after the pause began, not after the proof ended; the
// proof's own length is the yardstick, so load on the machine cannot make
// the check pass or fail. A proved file is not read again, by a restart either.
TEST(MirrorScripted, ThePauseEndsOnTimeAndProvedFilesAreNotReadAgain)
{
	using Clock = std::chrono::steady_clock;
	std::string big(256 << 20, 'p');
	std::atomic<long long> second_manifest{0}, proved{0};
	std::atomic<bool> stop{false};
	ScriptedHost host([&](const std::string &r, int turn) {
		if (turn == 2 && r == MANIFEST_REQUEST)
			second_manifest = Clock::now().time_since_epoch().count();
		return publish(r, {{"top", big}}, 7);
	});
	Mirror m;
	int watch = inotify_init1(IN_NONBLOCK);

	make_dirs(m.root);
	inotify_add_watch(watch, m.root.c_str(), IN_CLOSE_NOWRITE);
	std::thread reads([&] {
		alignas(inotify_event) char events[4096];
		pollfd ready = {watch, POLLIN, 0};
		while (!stop)
			if (poll(&ready, 1, 10) == 1 && read(watch, events, sizeof events) > 0 && !second_manifest)
				proved = Clock::now().time_since_epoch().count();  // the last read of top ended
	});
	m.process.start(m.args(host.port(), "--poll", "1"), m.tmp / "first.log");
	wait_until([&] { return count_of(m.process.output(), "sleeping") > 0 || !m.process.running(); }, 30000, 1);
	long long paused = Clock::now().time_since_epoch().count();
	ASSERT_TRUE(m.process.wait_for_output("no share changes"));
	m.process.stop();
	stop = true;
	reads.join();
	close(watch);
	double gap = (second_manifest - paused) / 1e6, proof = (proved - paused) / 1e6;
	EXPECT_GT(proof, 0) << "the pause proved the stamp";
	EXPECT_GE(gap, 990);
	EXPECT_LT(gap, 1000 + proof / 2) << "ms; the pause grew by the proof's " << proof << " ms";

	watch = inotify_init1(IN_NONBLOCK);
	char event[256];
	inotify_add_watch(watch, (m.root + "/top").c_str(), IN_ACCESS);
	m.run_turns(host.port(), 2);
	EXPECT_LT(read(watch, event, sizeof event), 0) << "a proved file was read";
	close(watch);
}

struct ExitCase {
	const char *name;
	std::string manifest, archive;
	int status;
	const char *last_line;
};

// The first turn over an empty mirror root takes the full archive, of any
// size; a failed one ends the program with status 1 and maps no drive.
TEST(MirrorScripted, FirstTurnExitStatuses)
{
	const ExitCase cases[] = {
		{"manifest fails alone", "garbage", archive_text(SHARE), 0, "sync complete\n"},
		{"manifest with an over-long line", manifest_text(1, {{std::string(262144, 'm'), ""}}), archive_text(SHARE),
		 0, "sync complete\n"},
		{"manifest without hash", "DC-SHARE-MANIFEST/1\nname=a\n\nEND\n", archive_text(SHARE), 0, "sync complete\n"},
		{"archive cut off", manifest_text(1, SHARE), archive_text(SHARE).substr(0, 90), 1,
		 "archive incomplete or too large\n"},
		{"archive beyond the old 8 MiB", manifest_text(1, SHARE), archive_text({{"big", std::string(9 << 20, 'E')}}),
		 0, "sync complete\n"},
		{"archive header missing", manifest_text(1, SHARE), "file path=top size=0\n\nendfile\nEND\n", 1,
		 "archive header missing\n"},
	};
	for (const ExitCase &c : cases) {
		ScriptedHost host([&](const std::string &r, int) {
			return ScriptedReply{r == MANIFEST_REQUEST ? c.manifest : c.archive};
		});
		Mirror m;
		RunResult run = m.once(host.port());

		EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.output;
		EXPECT_NE(run.output.find(std::string("dircast-mirror: ") + c.last_line), std::string::npos) << c.name;
		EXPECT_EQ(is_link(m.dos + "/y:"), c.status == 0) << c.name;
	}
}

// A restart over a mirror that holds entries costs one manifest: only what
// changed is fetched, and what the share lost is pruned.
TEST(MirrorScripted, ARestartRunsTheDelta)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, CHANGED, 8); });
	Mirror m;
	make_dirs(m.root + "/d");
	write_file(m.root + "/d/f", "x");
	write_file(m.root + "/top", "old");
	write_file(m.root + "/stale", "gone from the share");
	RunResult run = m.once(host.port());

	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(host.requests(), (std::vector<std::string>{MANIFEST_REQUEST, "GET file path=top\n\n"}));
	EXPECT_NE(run.output.find("dircast-mirror: delta changed files 1 skipped 1\n"), std::string::npos);
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 1", "f top 3"}));
}

TEST(MirrorScripted, RefusedConnectionAndOverlongSettingsExitWithOne)
{
	Mirror m;
	RunResult refused = run_program(m.args(free_tcp_port(), "--poll", "0"), m.tmp / "a.log");
	RunResult long_root = run_program(m.args({"--mirror-root", "/" + std::string(766, 'm')}), m.tmp / "b.log");
	RunResult long_dos = run_program(m.args({"--dosdevices", "/" + std::string(252, 'd')}), m.tmp / "c.log");

	EXPECT_EQ(refused.status, 1);
	EXPECT_NE(refused.output.find("manifest connect failed\n"), std::string::npos);
	EXPECT_EQ(refused.output.substr(refused.output.rfind("dircast-mirror: ")), "dircast-mirror: connect failed\n");
	EXPECT_EQ(long_root.output, "dircast-mirror: start\ndircast-mirror: invalid setting --mirror-root\n");
	EXPECT_EQ(long_dos.output, "dircast-mirror: start\ndircast-mirror: invalid setting --dosdevices\n");
	EXPECT_EQ(long_root.status + long_dos.status, 2);
}

// Mirror roots that hold Wine's own directories, and drive links on the way
// to the mirror root, however spelled: refused before anything is touched.
TEST(MirrorScripted, RootsHoldingThePrefixAndDrivesIntoTheMirrorAreRefused)
{
	Mirror m;
	TempDir logs;
	make_dirs(m.dos + "/c:");
	symlink(m.tmp.path.c_str(), (m.tmp / "alias").c_str());
	const struct {
		std::vector<std::string> args;
		const char *refused;
	} cases[] = {
		{{"--mirror-root", "/"}, "--mirror-root"},
		{{"--mirror-root", "///"}, "--mirror-root"},
		{{"--mirror-root", m.dos}, "--mirror-root"},
		{{"--mirror-root", m.dos + "//"}, "--mirror-root"},
		{{"--mirror-root", m.tmp.path}, "--mirror-root"},
		{{"--mirror-root", m.dos + "/c:/.."}, "--mirror-root"},
		{{"--mirror-root", m.tmp / "alias"}, "--mirror-root"},
		{{"--drive", "c"}, "--drive"},
		{{"--drive", "c", "--dosdevices", m.dos + "/"}, "--drive"},
		{{"--drive", "c", "--mirror-root", m.dos + "/c:"}, "--drive"},
		{{"--drive", "d"}, nullptr},
	};
	std::vector<std::string> before = list_tree(m.tmp.path);

	for (const auto &c : cases) {
		std::vector<std::string> args = m.args(c.args);
		args.insert(args.end(), {"--host", "127.0.0.1", "--port", std::to_string(free_tcp_port()), "--once"});
		RunResult run = run_program(args, logs / "run.log");
		std::string refusal = c.refused ? std::string("dircast-mirror: invalid setting ") + c.refused + "\n" : "";
		EXPECT_EQ(run.output.substr(0, 22 + refusal.size()), "dircast-mirror: start\n" + refusal) << c.args[1];
		EXPECT_EQ(run.status, 1) << c.args[1];
		if (c.refused)
			EXPECT_EQ(list_tree(m.tmp.path), before) << c.args[1];
	}
}

// A mirror root given as a link is never followed, with or without trailing
// slashes (a trailing slash makes the kernel follow even under O_NOFOLLOW).
TEST(MirrorHostile, ALinkedMirrorRootIsNeverFollowed)
{
	for (const std::string &slashes : {"", "/", "//"}) {
		ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
		TempDir outside;
		Mirror m;
		make_dirs(m.dos);
		make_dirs(outside.path + "/dir");
		write_file(outside.path + "/file", "secret");
		symlink(outside.path.c_str(), (m.tmp / "link").c_str());
		RunResult run = run_program(
			m.args({"--mirror-root", m.tmp / "link" + slashes, "--host", "127.0.0.1", "--port",
				std::to_string(host.port()), "--once"}),
			m.tmp / "run.log");

		EXPECT_EQ(list_tree(outside.path), (std::vector<std::string>{"d dir/", "f file 6"})) << slashes << run.output;
		EXPECT_EQ(count_of(run.output, "pruning mirror root"), 0) << slashes;
	}
}

// The drive link is replaced by a rename, never removed first, so Wine finds
// the old link or the new one at every moment; nothing else is left behind.
TEST(MirrorScripted, TheDriveLinkIsReplacedWithoutVanishing)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
	Mirror m;
	make_dirs(m.dos);
	symlink("/old/target", (m.dos + "/y:").c_str());
	int watch = inotify_init1(IN_NONBLOCK);
	inotify_add_watch(watch, m.dos.c_str(), IN_DELETE | IN_MOVED_TO);
	RunResult run = m.once(host.port());
	std::vector<std::string> events;
	char buffer[4096] __attribute__((aligned(8)));

	for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;) {
		for (char *p = buffer; p < buffer + n; p += sizeof(inotify_event) + ((inotify_event *)p)->len) {
			const inotify_event *e = (const inotify_event *)p;
			events.push_back(std::string(e->mask & IN_DELETE ? "deleted " : "moved in ") + e->name);
		}
	}
	close(watch);
	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(events, (std::vector<std::string>{"moved in y:"}));
	EXPECT_EQ(list_tree(m.dos),
		  (std::vector<std::string>{"d c:/", "d c:/mirror/", "d c:/mirror/d/", "f c:/mirror/d/f 1",
					    "f c:/mirror/top 0", "l y: -> " + m.root}))
		<< "no state file beside the mirror root";
}

// While a prune removes a mirror directory, another thread keeps swapping
// it for a link to a directory outside the mirror. Removal goes by
// directory descriptors, so nothing outside is ever touched: the full
// sync's prune (first turn) and the delta's (second turn) alike.
TEST(MirrorHostile, LinksSwappedInDuringAPruneAreNeverFollowed)
{
	constexpr int FILES = 5000;

	for (bool delta : {false, true}) {
		TempDir outside;
		Mirror m;
		std::string doomed = m.root + "/doomed", held = m.tmp / "held";
		std::vector<Entry> first = SHARE;
		std::atomic<bool> stop{false};

		first.push_back({"doomed", "", true});
		for (int i = 0; i < FILES; i++) {
			write_file(outside.path + "/f" + std::to_string(i), "outside");
			first.push_back({"doomed/f" + std::to_string(i), "mirror"});
		}
		if (!delta) {
			make_dirs(doomed);
			for (int i = 0; i < FILES; i++)
				write_file(doomed + "/f" + std::to_string(i), "mirror");
		}
		ScriptedHost host([&](const std::string &r, int turn) {
			return publish(r, delta && turn == 1 ? first : SHARE, turn == 1 ? 1 : 2);
		});
		// Swaps start once the prune has begun emptying the directory (its
		// modification time moves), and keep the link in place most of the time.
		std::thread swapper([&] {
			struct stat before {}, now {};
			while (!stop && delta && m.process.output().find("sync complete") == std::string::npos)
				std::this_thread::sleep_for(std::chrono::milliseconds(1));
			stat(doomed.c_str(), &before);
			while (!stop && stat(doomed.c_str(), &now) == 0 && now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
			       now.st_mtim.tv_sec == before.st_mtim.tv_sec)
				std::this_thread::sleep_for(std::chrono::microseconds(50));
			for (int i = 0; i < 20000 && !stop && rename(doomed.c_str(), held.c_str()) == 0; i++) {
				symlink(outside.path.c_str(), doomed.c_str());
				std::this_thread::sleep_for(std::chrono::microseconds(500));
				unlink(doomed.c_str());
				rename(held.c_str(), doomed.c_str());
			}
		});
		if (delta)
			m.run_turns(host.port(), 2);
		else
			m.once(host.port());
		stop = true;
		swapper.join();
		EXPECT_EQ(list_tree(outside.path).size(), (size_t)FILES) << (delta ? "delta prune" : "full prune");
	}
}

// Content that ends with the end marker, cut at exactly that point: the
// reply is whole only once the rest arrives.
TEST(MirrorScripted, EndMarkerInsideContentDoesNotEndTheReply)
{
	std::vector<Entry> share = {{"f", "hello\nEND\n"}, {"g", "x"}};
	std::string archive = archive_text(share);
	size_t cut = archive.find("END\n") + 4;
	ScriptedHost host([&](const std::string &r, int) {
		return r == MANIFEST_REQUEST ? ScriptedReply{manifest_text(1, share)}
					     : ScriptedReply{archive.substr(0, cut), archive.substr(cut)};
	});
	Mirror m;

	EXPECT_EQ(m.once(host.port()).status, 0);
	EXPECT_EQ(read_file(m.root + "/f"), "hello\nEND\n");
	EXPECT_EQ(read_file(m.root + "/g"), "x");
}

// Whatever the host names and whatever links sit in the mirror, nothing
// outside the mirror root changes; a link at a listed file is replaced.
TEST(MirrorScripted, UnsafePathsAndPlantedLinksStayConfined)
{
	TempDir outside;
	std::vector<Entry> hostile = {{"../escape", "x"}, {"/abs", "x"}, {"a/../../b", "x"}, {"c:/x", "x"},
				      {"sub", "", true},  {"sub/f", "in"}, {"link", "mine"}};
	ScriptedHost host([&](const std::string &r, int turn) { return publish(r, hostile, turn); });
	Mirror m;
	make_dirs(outside.path + "/dir");
	write_file(outside.path + "/file", "secret");

	m.process.start(m.args(host.port(), "--poll", "1"), m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("sync complete", 20000));
	remove_tree(m.root + "/sub");
	symlink((outside.path + "/dir").c_str(), (m.root + "/sub").c_str());
	symlink((outside.path + "/file").c_str(), (m.root + "/link").c_str());
	ASSERT_TRUE(m.process.wait_for_output("delta changed files", 20000));
	m.process.stop();

	EXPECT_EQ(list_tree(outside.path), (std::vector<std::string>{"d dir/", "f file 6"}));
	EXPECT_EQ(read_file(outside.path + "/file"), "secret");
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d sub/", "f link 4", "f sub/f 2"}));
	EXPECT_EQ(count_of(m.process.output(), "rejected unsafe path"), 6);
	EXPECT_EQ(list_tree(m.tmp.path).size(), list_tree(m.root).size() + 5) << "dos, c:, mirror, y:, log";
}

const std::string ARCHIVE_HEAD = scripted_archive_head();

// Whole archives that a real host never sends, each the first turn's archive:
// paths the mirror must refuse (control bytes, DEL, backslash, traversal,
// absolute, colons) and sizes that do not match what follows them. A size
// beyond the reply leaves the end marker inside content: the reply is cut.
TEST(MirrorHostile, RecordsARealHostNeverSendsAreRefusedOrSkipped)
{
	const struct {
		const char *name;
		std::string records;
		std::vector<std::string> tree;
		int rejected;
		int status = 0;
	} cases[] = {
		{"unsafe paths",
		 "file path=a\x01z size=1\nx\nendfile\nfile path=a\x7fz size=1\nx\nendfile\n"
		 "file path=a\\z size=1\nx\nendfile\nfile path=a\rz size=1\nx\nendfile\n"
		 "file path=.. size=1\nx\nendfile\nfile path=../up size=1\nx\nendfile\n"
		 "file path=/abs size=1\nx\nendfile\nfile path=a//z size=1\nx\nendfile\n"
		 "file path=./a size=1\nx\nendfile\ndir path=../d\ndir path=/d\n"
		 "file path=c: size=1\nx\nendfile\nfile path=d/c:/e size=1\nx\nendfile\ndir path=e:\n"
		 "file path=ok size=1\nx\nendfile\n",
		 {"f ok 1"}, 11},
		{"size beyond the reply", "file path=big size=4294967295\nabc\nendfile\nfile path=after size=1\nz\nendfile\n",
		 {}, 0, 1},
		{"size that wraps", "file path=wrap size=99999999999\nabc\nendfile\n", {}, 0, 1},
		{"size short of the content", "file path=short size=2\nabcdef\nendfile\ndir path=d\n",
		 {"d d/", "f short 2"}, 0},
	};
	for (const auto &c : cases) {
		TempDir outside;
		ScriptedHost host([&](const std::string &r, int) {
			return ScriptedReply{r == MANIFEST_REQUEST ? manifest_text(1, SHARE) : ARCHIVE_HEAD + c.records + "END\n"};
		});
		Mirror m;
		RunResult run = m.once(host.port());

		EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.output;
		EXPECT_EQ(list_tree(m.root), c.tree) << c.name;
		EXPECT_EQ(count_of(run.output, "dircast-mirror: rejected unsafe path\n"), c.rejected) << c.name;
		if (c.status == 0)
			EXPECT_EQ(list_tree(m.tmp.path).size(), c.tree.size() + 5)
				<< c.name << ": dos, c:, mirror, y:, log";
	}
}

// Content that holds end markers, the reply split in two at every byte from
// the first record on: each part arrives in a receive of its own, and the
// reply is whole only when the real end marker has come.
TEST(MirrorHostile, EndMarkerInContentAtEveryReceiveBoundary)
{
	std::vector<Entry> share = {{"e", "END\n"}, {"f", "END\nEND\n\n"}, {"g", ""}};
	std::string archive = archive_text(share);
	int failures = 0;

	for (size_t split = ARCHIVE_HEAD.size(); split < archive.size() && failures < 3; split++) {
		ScriptedHost host([&](const std::string &r, int) {
			if (r == MANIFEST_REQUEST)
				return ScriptedReply{manifest_text(1, share)};
			ScriptedReply reply{archive.substr(0, split)};
			reply.pieces = {archive.substr(split)};
			reply.pause_ms = 30;
			return reply;
		});
		Mirror m;
		RunResult run = m.once(host.port());
		bool ok = run.status == 0 && read_file(m.root + "/e") == "END\n" && read_file(m.root + "/f") == "END\nEND\n\n" &&
			  read_file(m.root + "/g").empty();

		failures += !ok;
		EXPECT_TRUE(ok) << "split at " << split << "\n" << run.output;
	}
}

// Manifests and archives cut at every record boundary (the host closes
// there): always incomplete, even where the cut leaves "END\n" at the tail
// (inside content, or after a record whose path ends so). A failed first
// archive leaves only the files that came whole; a failed manifest falls
// back to the archive.
TEST(MirrorHostile, RepliesCutAtEveryRecordBoundary)
{
	std::vector<Entry> share = {{"d", "", true}, {"d/f", "x\nEND\n"}, {"LEGEND", "", true}, {"g", "y"}};
	std::string manifest = manifest_text(1, share), archive;
	std::vector<size_t> archive_cuts, manifest_cuts;

	// Every boundary between header, record line, content, trailer and end marker.
	for (const std::string &part : {ARCHIVE_HEAD, std::string("dir path=d\n"), std::string("file path=d/f size=6\n"),
					std::string("x\nEND\n"), std::string("\nendfile\n"), std::string("dir path=LEGEND\n"),
					std::string("file path=g size=1\n"), std::string("y"), std::string("\nendfile\n"),
					std::string("END\n")}) {
		if (!archive.empty())
			archive_cuts.push_back(archive.size());
		archive += part;
	}
	ASSERT_EQ(archive, archive_text(share));
	for (size_t at = manifest.find("\n\n") + 2; at < manifest.size(); at = manifest.find('\n', at) + 1)
		manifest_cuts.push_back(at);
	for (size_t cut : archive_cuts) {
		ScriptedHost host([&](const std::string &r, int) {
			return ScriptedReply{r == MANIFEST_REQUEST ? manifest : archive.substr(0, cut)};
		});
		Mirror m;
		RunResult run = m.once(host.port());
		const std::vector<std::string> whole = {"d LEGEND/", "d d/", "f d/f 6", "f g 1"};

		EXPECT_EQ(run.status, 1) << "archive cut at " << cut << "\n" << run.output;
		EXPECT_EQ(count_of(run.output, "archive incomplete or too large\n"), 1) << cut;
		for (const std::string &entry : list_tree(m.root))  // what came whole, nothing partly
			EXPECT_NE(std::find(whole.begin(), whole.end(), entry), whole.end()) << entry << " at " << cut;
	}
	for (size_t cut : manifest_cuts) {
		ScriptedHost host([&](const std::string &r, int) {
			return ScriptedReply{r == MANIFEST_REQUEST ? manifest.substr(0, cut) : archive};
		});
		Mirror m;
		RunResult run = m.once(host.port());

		EXPECT_EQ(run.status, 0) << "manifest cut at " << cut;
		EXPECT_EQ(count_of(run.output, "dircast-mirror: manifest incomplete\n"), 1) << "manifest cut at " << cut;
		EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d LEGEND/", "d d/", "f d/f 6", "f g 1"})) << cut;
	}
}

// Replies that never end, at full speed or in pieces a millisecond apart
// (never idle, so only the limit can end them): the client stops at 64 MiB
// outside file content and reports them.
TEST(MirrorHostile, EndlessAndTricklingRepliesStopAtTheLimits)
{
	const struct {
		const char *name;
		bool manifest;
		std::string repeat;
		int pause_ms;
	} cases[] = {
		{"endless manifest", true, std::string(65536, '\n'), 0},
		{"trickling manifest", true, "dir path=d\n" + std::string(1 << 20, 'm') + "\n", 1},
		{"endless archive", false, std::string(65536, 'E'), 0},
		{"trickling archive", false, "dir path=d\n" + std::string(1 << 20, 'a') + "\n", 1},
	};
	for (const auto &c : cases) {
		ScriptedHost host([&](const std::string &r, int) {
			bool endless = (r == MANIFEST_REQUEST) == c.manifest;
			ScriptedReply reply{!endless ? (c.manifest ? archive_text(SHARE) : manifest_text(1, SHARE))
					   : c.manifest ? "DC-SHARE-MANIFEST/1\nhash=1\n\n" : ARCHIVE_HEAD};
			if (endless) {
				reply.repeat = c.repeat;
				reply.pause_ms = c.pause_ms;
			}
			return reply;
		});
		Mirror m;
		m.process.start(m.args(host.port(), "--once"), m.tmp / "mirror.log");
		ASSERT_TRUE(m.process.wait_exit(100000)) << c.name << ": still running";
		std::string log = m.process.output();

		EXPECT_EQ(m.process.exit_status, c.manifest ? 0 : 1) << c.name << "\n" << log;
		EXPECT_EQ(count_of(log, c.manifest ? "manifest incomplete\n" : "archive incomplete or too large\n"), 1) << c.name;
		EXPECT_GE(host.repeated_bytes() + (long long)c.repeat.size(), 64ll << 20) << c.name;
	}
}

// The host swaps links into the mirror while a turn runs, after the prune
// and before the writes: a directory becomes a link to a directory outside,
// a listed file a link to a file outside. Both links are replaced, never
// followed: the directory's record removes the link and makes the directory
// again, the file is renamed over its link, and the turn ends with the
// mirror equal to the share.
TEST(MirrorHostile, LinksSwappedInDuringATurnAreNeverFollowed)
{
	TempDir outside;
	Mirror m;
	make_dirs(outside.path + "/dir");
	write_file(outside.path + "/file", "secret");
	ScriptedHost host([&](const std::string &r, int turn) {
		std::vector<Entry> share = {{"top", turn == 1 ? "1" : "22"}, {"d", "", true}, {"d/f", turn == 1 ? "1" : "22"}};
		if (turn == 2 && r == file_request("top")) {
			remove_tree(m.root + "/d");
			symlink((outside.path + "/dir").c_str(), (m.root + "/d").c_str());
			unlink((m.root + "/top").c_str());
			symlink((outside.path + "/file").c_str(), (m.root + "/top").c_str());
		}
		return publish(r, share, turn < 3 ? turn : 2);
	});

	EXPECT_EQ(decisions(m.run_turns(host.port(), 4)),
		  (std::vector<std::string>{"sync complete", "delta changed", "sync complete", "no share changes",
					    "no share changes"}));
	EXPECT_EQ(list_tree(outside.path), (std::vector<std::string>{"d dir/", "f file 6"}));
	EXPECT_EQ(read_file(outside.path + "/file"), "secret");
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 2", "f top 2"}));
}

// A discovering mirror, offered one datagram once it waits.
RunResult discover(Mirror &m, const std::string &datagram, const std::vector<std::string> &extra = {})
{
	int port = free_udp_port();
	std::vector<std::string> a = m.args({"--beacon-port", std::to_string(port), "--once"});

	a.insert(a.end(), extra.begin(), extra.end());
	m.process.start(a, m.tmp / "mirror.log");
	if (m.process.wait_for_output("waiting for share beacon on 0.0.0.0:" + std::to_string(port) + "\n"))
		send_datagram(port, datagram);
	m.process.wait_exit(30000);
	return {m.process.exit_status, m.process.output()};
}

TEST(MirrorScripted, DiscoveryTakesSenderAndPortField)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 3); });
	std::string port = std::to_string(host.port());
	const struct {
		std::string datagram, option, connects_to;
	} cases[] = {
		{"DC-SHARE/1 name=c root=/r port=" + port + " mode=ro\n", "", port},
		{"name= port=" + port + " port=1\n", "", port},
		{"DC-SHARE/1 port=1\n", "--port=" + port, port},
		{"port=1\n", "", "19200"},
	};
	for (const auto &c : cases) {
		Mirror m;
		RunResult run = discover(m, c.datagram, {c.option});

		EXPECT_NE(run.output.find("dircast-mirror: beacon received\n"
					  "dircast-mirror: connecting to advertised host:" + c.connects_to + "\n"),
			  std::string::npos) << c.datagram << run.output;
	}
}

TEST(MirrorScripted, DiscoveryFailures)
{
	Mirror m;
	int port = free_udp_port();
	UdpReceiver holder(port, "0.0.0.0");
	RunResult empty = discover(m, "");
	RunResult held = run_program(m.args({"--beacon-port", std::to_string(port)}), m.tmp / "held.log");

	EXPECT_EQ(empty.status, 1);
	EXPECT_EQ(empty.output.substr(empty.output.find('\n', empty.output.find("waiting")) + 1),
		  "dircast-mirror: discovery failed\n");
	EXPECT_EQ(held.status, 1);
	EXPECT_EQ(held.output, "dircast-mirror: start\ndircast-mirror: discovery failed\n");
}

// Started with standard descriptors closed, no socket may take the log's
// descriptor: the host must see exactly the protocol's requests.
TEST(MirrorScripted, ClosedStandardDescriptorsNeverReachTheHost)
{
	for (std::vector<int> closed : {std::vector<int>{1}, std::vector<int>{0, 1, 2}}) {
		ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 3); });
		Mirror m;

		m.process.start(m.args(host.port(), "--once"), m.tmp / "mirror.log", closed);
		ASSERT_TRUE(m.process.wait_exit(30000));
		EXPECT_EQ(m.process.exit_status, 0);
		EXPECT_EQ(host.requests(), (std::vector<std::string>{MANIFEST_REQUEST, ARCHIVE_REQUEST}));
		EXPECT_EQ(list_tree(m.root), SHARE_TREE);
	}
}

} // namespace
