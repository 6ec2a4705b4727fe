// dircast-mirror against the real dircast-serve on trees Wine programs
// install: forty levels mirrored and pruned whole, and entries the host
// lists but never sends, which must not cost a full archive every turn.
#include "support/mirror_runner.hpp"
#include "support/serve_runner.hpp"

#include <sys/stat.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

TEST(MirrorDeep, AFortyLevelTreeIsMirroredAndPrunedWhole)
{
	Mirror m;
	ServeRun host;
	std::string share = m.tmp / "share", dir = share;

	for (int level = 1; level <= 40; level++) {
		dir += "/level" + std::to_string(level);
		make_dirs(dir);
		write_file(dir + "/f", std::to_string(level));
	}
	// Full paths of 511 bytes at the host are carried; of 512, left out.
	size_t room = 511 - dir.size() - 1;
	ASSERT_LT(room, 255u);
	write_file(dir + "/" + std::string(room, 'a'), "in");
	write_file(dir + "/" + std::string(room + 1, 'b'), "out");
	ASSERT_TRUE(start_serve(host, share, m.tmp / "serve.log")) << host.process.output();
	ASSERT_EQ(m.once(host.port).status, 0);
	unlink((dir + "/" + std::string(room + 1, 'b')).c_str());
	EXPECT_EQ(snapshot(m.root), snapshot(share));
	remove_tree(share + "/level1");
	ASSERT_EQ(m.once(host.port).status, 0);
	EXPECT_EQ(list_tree(m.root), std::vector<std::string>{});
}

// The host runs unprivileged, so that the unreadable file is one.
TEST(MirrorDeep, EntriesNeverSentCostOneDeltaTurnAndNoArchive)
{
	Mirror m;
	ServeRun host;
	std::string share = m.tmp / "share";
	std::vector<std::string> launcher;

	if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0)
		GTEST_SKIP() << "root reads every file, and setpriv is missing to run the host as nobody";
	if (geteuid() == 0)
		launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
	chmod(m.tmp.path.c_str(), 0755);
	make_dirs(share);
	write_file(share + "/a", "a");
	write_file(share + "/secret", "s");
	chmod((share + "/secret").c_str(), 0);
	ASSERT_EQ(symlink("nowhere", (share + "/broken").c_str()), 0);
	ASSERT_EQ(mkfifo((share + "/pipe").c_str(), 0644), 0);
	ASSERT_TRUE(start_serve(host, share, m.tmp / "serve.log", {}, "i386", launcher)) << host.process.output();
	// The first sync's archive lacks them, so its hash is not yet the
	// mirror's: the next turn's delta makes them without a request.
	std::string first = m.run_turns(host.port, 3);
	EXPECT_NE(first.find("dircast-mirror: delta changed files 3 skipped 1\n"), std::string::npos) << first;
	EXPECT_NE(first.find("dircast-mirror: no share changes\n"), std::string::npos) << first;
	write_file(share + "/a", "changed");
	std::string log = m.run_turns(host.port, 2);

	EXPECT_NE(log.find("dircast-mirror: delta changed files 1 skipped 3\n"), std::string::npos) << log;
	EXPECT_NE(log.find("dircast-mirror: no share changes\n"), std::string::npos) << log;
	EXPECT_EQ(count_of(host.process.output(), "dircast-serve: archive sent\n"), 1);
	EXPECT_EQ(count_of(host.process.output(), "dircast-serve: sending file "), 2) << "a, once in each sync";
	for (const char *name : {"secret", "broken", "pipe"})
		EXPECT_EQ(read_file(m.root + "/" + name), "") << name;
}

// The deepest path a manifest can name (256 components in 511 bytes): a
// stale file there is pruned. A listed empty file is made without a request.
TEST(MirrorDeep, PruneReachesTheDeepestPathAManifestNames)
{
	std::vector<Entry> share = {{"empty", ""}};
	std::string path;
	Mirror m;

	for (int i = 0; i < 255; i++)
		share.push_back({path += i ? "/a" : "a", "", true});
	ScriptedHost host([&](const std::string &r, int) { return publish(r, share, 9); });
	make_dirs(m.root + "/" + path);
	write_file(m.root + "/" + path + "/x", "stale");
	RunResult run = m.once(host.port());

	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(host.requests(), std::vector<std::string>{MANIFEST_REQUEST});
	EXPECT_FALSE(exists(m.root + "/" + path + "/x"));
	EXPECT_TRUE(exists(m.root + "/empty"));
}

} // namespace
