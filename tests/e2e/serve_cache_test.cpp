// dircast-serve end to end: manifests answered from remembered content
// hashes must be exactly what a host that reads everything would send.
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

class ServeCache : public ::testing::Test {
protected:
	TempDir tmp;
	std::string root = tmp / "share";
	ServeRun host;
	int fresh_runs = 0;

	void SetUp() override
	{
		make_dirs(root);
		ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	}
	// What a host with nothing remembered answers for the tree as it is now.
	std::string fresh_manifest()
	{
		ServeRun fresh;
		EXPECT_TRUE(start_serve(fresh, root, tmp / ("fresh" + std::to_string(fresh_runs++) + ".log")));
		return tcp_exchange(fresh.port, MANIFEST_REQUEST);
	}
	std::string manifest() { return tcp_exchange(host.port, MANIFEST_REQUEST); }
	// Bytes the host read to answer a manifest.
	long long manifest_reads()
	{
		long long start = bytes_read(host.process.pid);
		manifest();
		return bytes_read(host.process.pid) - start;
	}
	// Until the host trusts what it remembers: a manifest reads no file.
	void wait_until_settled() { ASSERT_TRUE(wait_until([&] { return manifest_reads() == 0; }, 30000, 250)); }
};

void set_mtime(const std::string &path, const timespec &mtime)
{
	timespec times[2] = {{0, UTIME_OMIT}, mtime};
	utimensat(AT_FDCWD, path.c_str(), times, 0);
}

timespec mtime_of(const std::string &path)
{
	struct stat st;
	stat(path.c_str(), &st);
	return st.st_mtim;
}

TEST_F(ServeCache, RewritesRightAfterAHashAreSeen)
{
	write_file(root + "/same-size", "aaaa");
	write_file(root + "/grows", "1");
	std::string before = manifest();
	write_file(root + "/same-size", "bbbb");  // same size, most likely the same second
	write_file(root + "/grows", "12");
	std::string after = manifest();
	EXPECT_NE(before, after);
	EXPECT_EQ(after, fresh_manifest());
}

TEST_F(ServeCache, ChangesToSettledFilesAreSeen)
{
	make_dirs(root + "/dir");
	for (const char *name : {"restored", "renamed-over", "regrown", "swapped", "other", "dir/inner"})
		write_file(root + "/" + name, std::string("content of ") + name);
	wait_until_settled();
	std::string before = manifest();
	ASSERT_EQ(before, manifest());

	timespec old = mtime_of(root + "/restored");
	write_file(root + "/restored", "CONTENT OF restored");  // same size, old mtime put back
	set_mtime(root + "/restored", old);
	write_file(tmp / "new", "content of RENAMED-over");
	ASSERT_EQ(rename((tmp / "new").c_str(), (root + "/renamed-over").c_str()), 0);
	ASSERT_EQ(truncate((root + "/regrown").c_str(), 0), 0);
	write_file(root + "/regrown", "CONTENT of regrown");
	write_file(root + "/other2", "content of swapped");  // same size as swapped
	write_file(root + "/other2", "CONTENT of SWAPPED");
	unlink((root + "/swapped").c_str());
	ASSERT_EQ(symlink("other2", (root + "/swapped").c_str()), 0);
	ASSERT_EQ(rename((root + "/dir").c_str(), (root + "/moved").c_str()), 0);

	std::string after = manifest();
	EXPECT_EQ(after, fresh_manifest());
	for (const char *line : {"file path=restored size=19 hash=", "file path=moved/inner "})
		EXPECT_NE(after.find(line), std::string::npos) << line;
	EXPECT_NE(after.substr(0, after.find("entries=")), before.substr(0, before.find("entries=")));
}

// The point of remembering: an unchanged share is answered from metadata,
// while a changed file is still read in full.
TEST_F(ServeCache, AnUnchangedShareIsAnsweredWithoutReadingFiles)
{
	std::string big(1 << 20, 'x');
	for (int i = 0; i < 4; i++)
		write_file(root + "/f" + std::to_string(i), big);
	long long first = manifest_reads();
	EXPECT_GE(first, 4 << 20);
	EXPECT_LT(first, (4 << 20) + (1 << 20)) << "each file is read once per manifest, not twice";
	wait_until_settled();
	std::string unchanged = manifest();

	write_file(root + "/f2", std::string(1 << 20, 'y'));
	long long start = bytes_read(host.process.pid);
	std::string changed = manifest();
	long long reread = bytes_read(host.process.pid) - start;
	EXPECT_GE(reread, 1 << 20);
	EXPECT_LT(reread, 2 << 20);
	EXPECT_NE(changed, unchanged);
	EXPECT_EQ(changed, fresh_manifest());
}

} // namespace
