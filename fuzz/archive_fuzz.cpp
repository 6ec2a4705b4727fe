// Archive application, fed any reply the host might send: first as a
// single-file answer applied over a mirror that holds planted links (as the
// delta sync does), then as a full sync (header test, prune, apply).
#include "scratch.hpp"
#include "client/archive.hpp"
#include "client/transfers.hpp"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::scratch();
	return 0;
}

// A fetched reply always ends with "END\n", so the reader's last line always
// has its newline; an input need not, and a NUL after it keeps that last
// line from running into an earlier input's bytes, so every run replays alike.
static void load(const uint8_t *data, long length)
{
	memcpy(dircast::archive_buffer, data, length);
	if (length < dircast::ARCHIVE_BUFFER_SIZE)
		dircast::archive_buffer[length] = 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	long length = (long)(size < (size_t)dircast::ARCHIVE_BUFFER_SIZE - 1 ? size : dircast::ARCHIVE_BUFFER_SIZE - 1);

	fuzz::reset_mirror(false);
	load(data, length);
	dircast::apply_archive(length);
	fuzz::check_confined("single-file application");

	fuzz::reset_mirror(false);
	load(data, length);
	if (dircast::archive_has_header(length)) {
		dircast::prune_mirror();
		dircast::apply_archive(length);
	}
	fuzz::check_confined("full sync");
	return 0;
}
