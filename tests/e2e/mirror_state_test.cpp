// dircast-mirror's own state: one process per mirror root, and a spool no
// one else can reach, nowhere beside or inside the mirror root.
#include "support/mirror_runner.hpp"

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

const std::vector<Entry> SHARE = {{"top", "x"}, {"d", "", true}, {"d/f", "y"}};
const std::vector<std::string> SHARE_TREE = {"d d/", "f d/f 1", "f top 1"};

// Whatever sits where older versions spooled (a FIFO held a turn for ever, a
// link made each turn a full archive), and a parent the mirror cannot write
// (as nobody, under root): one archive, then manifests; a leftover file goes.
TEST(MirrorState, OldSpoolNamesAndUnwritableParentsLeaveTheTurnsAlone)
{
	const struct {
		const char *name;
		std::function<void(Mirror &, const std::string &)> plant;
		bool kept;
	} cases[] = {
		{"fifo", [](Mirror &, const std::string &at) { mkfifo(at.c_str(), 0666); }, true},
		{"link", [](Mirror &m, const std::string &at) { symlink(m.dos.c_str(), at.c_str()); }, true},
		{"leftover", [](Mirror &, const std::string &at) { write_file(at, "DC-SHARE-MANIFEST/1\n"); }, false},
		{"unwritable parent", [](Mirror &m, const std::string &) {
			 make_dirs(m.root);
			 if (geteuid() != 0)
				 return (void)chmod((m.dos + "/c:").c_str(), 0555);
			 m.launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
			 ASSERT_EQ(chmod(m.tmp.path.c_str(), 0755) | chown(m.root.c_str(), 65534, 65534) |
					   chown(m.dos.c_str(), 65534, 65534), 0);
		 }, false},
	};
	for (const auto &c : cases) {
		ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
		Mirror m;
		make_dirs(m.dos + "/c:");
		c.plant(m, m.root + ".dircast-manifest");
		std::string log = m.run_turns(host.port(), 3);
		std::vector<std::string> requests = host.requests();

		EXPECT_EQ(std::count(requests.begin(), requests.end(), ARCHIVE_REQUEST), 1) << c.name << "\n" << log;
		EXPECT_EQ(count_of(log, "dircast-mirror: no share changes\n"), 2) << c.name;
		EXPECT_EQ(list_tree(m.root), SHARE_TREE) << c.name;
		EXPECT_EQ(exists(m.root + ".dircast-manifest"), c.kept) << c.name;
	}
}

// A second mirror on the root exits at once; the lock goes with the first, even on kill -9.
TEST(MirrorState, ASecondMirrorOnTheRootExitsAndTheLockGoesWithTheFirst)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
	Mirror m;

	m.process.start(m.args(host.port(), "--poll", "1"), m.tmp / "first.log");
	ASSERT_TRUE(m.process.wait_for_output("dircast-mirror: sync complete\n")) << m.process.output();
	RunResult second = run_program(m.args(host.port(), "--once"), m.tmp / "second.log");
	EXPECT_EQ(second.status, 1);
	EXPECT_EQ(second.output, "dircast-mirror: start\ndircast-mirror: mirror root in use by another dircast-mirror\n");
	kill(m.process.pid, SIGKILL);
	m.process.wait_exit();
	EXPECT_EQ(m.once(host.port()).status, 0);
	EXPECT_EQ(list_tree(m.root), SHARE_TREE);
}

} // namespace
