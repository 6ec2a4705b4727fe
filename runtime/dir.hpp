// Directory iteration in getdents64 batches, and the probe that tells a
// directory from anything else.
#pragma once

namespace dircast {

// The host follows links in its share; the mirror never follows one.
enum LinkPolicy { FOLLOW_LINKS, NO_LINKS };

constexpr int SCAN_BATCH = 4096;

// One per directory being read; a recursive walk holds one per level.
struct DirScan {
	long fd;
	long length;
	long offset;
	long error;          // the first failed getdents64, or 0
	long long position;  // d_off of the entry last returned: where the listing goes on
	unsigned char type;  // d_type of the entry last returned
	char batch[SCAN_BATCH];
};

long open_scan(DirScan *scan, const char *path, LinkPolicy links);
// The directory name below the open directory dirfd (or AT_FDCWD): with
// NO_LINKS, a link swapped in at name is refused, never followed.
long open_scan_at(DirScan *scan, long dirfd, const char *name, LinkPolicy links);
// Null at the end of the listing and when it failed; scan_failed tells which.
const char *next_entry(DirScan *scan);
// 1 when the listing stopped on an error (EIO, a vanished directory...):
// the entries not yet returned are unknown, not absent.
int scan_failed(const DirScan *scan);
void close_scan(DirScan *scan);
// Lists the open directory fd on from position (a position of an entry that
// it returned; 0 for the start), as the scan that read it would have gone
// on. Deep walks give up a level's batch and find their place again by it.
long resume_scan(DirScan *scan, long fd, long long position);
// The scan ends as failed, with error; its directory is closed.
void fail_scan(DirScan *scan, long error);
// 1 when the entry last returned is a regular file by the directory's own
// record: certainly not a directory, so it needs no probe. Filesystems that
// do not fill d_type say "unknown", and such entries are probed as before.
int entry_is_regular(const DirScan *scan);
int probe_directory(const char *path, LinkPolicy links);
int probe_directory_at(long dirfd, const char *name, LinkPolicy links);

} // namespace dircast
