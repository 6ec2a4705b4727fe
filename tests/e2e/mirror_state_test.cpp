// dircast-mirror's own state: one process per mirror root, and a manifest
// spool nothing else can reach, kept nowhere beside or inside the mirror root.
#include "support/mirror_runner.hpp"

#include <algorithm>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

const std::vector<Entry> SHARE = {{"top", "x"}, {"d", "", true}, {"d/f", "y"}};
const std::vector<std::string> SHARE_TREE = {"d d/", "f d/f 1", "f top 1"};

// One archive, then turns of a manifest alone.
void expect_quiet_turns(const Mirror &m, ScriptedHost &host, const std::string &log, const std::string &name)
{
	std::vector<std::string> requests = host.requests();

	EXPECT_EQ(std::count(requests.begin(), requests.end(), ARCHIVE_REQUEST), 1) << name << "\n" << log;
	EXPECT_EQ(count_of(log, "dircast-mirror: no share changes\n"), 2) << name;
	EXPECT_EQ(list_tree(m.root), SHARE_TREE) << name;
}

// Whatever sits at the name older versions spooled the manifest to (a FIFO
// held a turn for ever, a link made every turn a full archive): the turns go
// on unhindered, and only a regular file, a leftover of theirs, goes.
TEST(MirrorState, WhateverSitsWhereTheOldSpoolWasTheTurnsGoOn)
{
	TempDir outside;
	const struct {
		const char *name;
		std::function<void(const std::string &)> plant;
		bool kept;
	} cases[] = {
		{"fifo", [](const std::string &at) { mkfifo(at.c_str(), 0666); }, true},
		{"link", [&](const std::string &at) { symlink((outside / "file").c_str(), at.c_str()); }, true},
		{"leftover", [](const std::string &at) { write_file(at, "DC-SHARE-MANIFEST/1\n"); }, false},
	};
	write_file(outside / "file", "secret");
	for (const auto &c : cases) {
		ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
		Mirror m;
		make_dirs(m.dos + "/c:");
		c.plant(m.root + ".dircast-manifest");

		expect_quiet_turns(m, host, m.run_turns(host.port(), 3), c.name);
		EXPECT_EQ(exists(m.root + ".dircast-manifest"), c.kept) << c.name;
	}
	EXPECT_EQ(read_file(outside / "file"), "secret");
}

// A mirror root of the mirror's user in a directory it cannot write, as
// /srv/mirror in a /srv of root's: no different from any other.
TEST(MirrorState, ARootInAParentTheMirrorCannotWriteWorksLikeAnyOther)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
	Mirror m;

	make_dirs(m.root);
	if (geteuid() == 0) {
		// Root writes anywhere: the mirror runs as nobody, owning its root
		// and the drive links' directory, not the root's parent.
		m.launcher = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
		ASSERT_EQ(chmod(m.tmp.path.c_str(), 0755) | chown(m.root.c_str(), 65534, 65534) |
				  chown(m.dos.c_str(), 65534, 65534) | chmod((m.dos + "/c:").c_str(), 0755),
			  0);
	} else {
		ASSERT_EQ(chmod((m.dos + "/c:").c_str(), 0555), 0);
	}
	expect_quiet_turns(m, host, m.run_turns(host.port(), 3), "unwritable parent");
	EXPECT_EQ(list_tree(m.dos + "/c:").size(), SHARE_TREE.size() + 1) << "the mirror root and nothing beside it";
}

// One mirror per mirror root: a second exits at once, before any request;
// the lock goes with the first, even when it is killed.
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
	RunResult third = m.once(host.port());
	EXPECT_EQ(third.status, 0) << third.output;
	EXPECT_EQ(list_tree(m.root), SHARE_TREE);
}

} // namespace
