// Shared by the client's unit tests: the mirror settings pointed into a
// temporary directory, and standard output captured, since the client logs
// by writing to descriptor 1 itself.
#pragma once

#include "client/archive.hpp"
#include "client/manifest_spool.hpp"
#include "client/settings.hpp"
#include "support/temp_dir.hpp"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace dircast_test {

class CapturedLog {
public:
	CapturedLog()
	{
		fflush(stdout);
		saved_ = dup(1);
		memory_ = memfd_create("log", 0);
		dup2(memory_, 1);
	}
	~CapturedLog()
	{
		dup2(saved_, 1);
		close(saved_);
		close(memory_);
	}
	std::string text() const
	{
		std::string out(4096, 0);
		ssize_t n = pread(memory_, out.data(), out.size(), 0);
		out.resize(n > 0 ? n : 0);
		return out;
	}

private:
	int saved_, memory_;
};

class MirrorTest : public ::testing::Test {
protected:
	TempDir tmp;
	std::string root = tmp / "mirror";
	std::string dos = tmp / "dos";

	void SetUp() override
	{
		dircast::reset_client_settings();
		dircast::client_settings.mirror_root = root.c_str();
		dircast::client_settings.dosdevices = dos.c_str();
		make_dirs(root);
		make_dirs(dos);
	}
	void TearDown() override { dircast::reset_client_settings(); }

	// Applies an archive as the transfers would, arriving in two pieces cut
	// at split; the log it wrote, and finish_archive's verdict in *applied.
	std::string apply(const std::string &archive, const char *wanted = nullptr, size_t split = 0,
			  int *applied = nullptr)
	{
		CapturedLog log;
		dircast::ArchiveApply state;
		dircast::ReplyStream stream;
		dircast::StreamPiece piece;
		int going = 1;

		dircast::start_archive(&state, wanted);
		dircast::start_stream(&stream, dircast::ARCHIVE_STREAM);
		for (size_t bound : {split, archive.size()}) {
			const char *p = archive.data() + (bound == split ? 0 : split), *end = archive.data() + bound;
			while (going && dircast::next_piece(&stream, &p, end, &piece))
				going = dircast::apply_piece(&state, &piece);
		}
		int result = dircast::finish_archive(&state);
		if (applied)
			*applied = result;
		return log.text();
	}
	// The manifest as the fetch leaves it in the spool, byte for byte.
	void spool(const std::string &m)
	{ ASSERT_TRUE(dircast::begin_spool() && dircast::spool_bytes(m.data(), (long)m.size()) && dircast::end_spool()); }
};

} // namespace dircast_test
