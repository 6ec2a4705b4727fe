// Directory iteration in getdents batches, and the probe that tells a
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
	unsigned char type;  // d_type of the entry last returned
	char batch[SCAN_BATCH];
};

long open_scan(DirScan *scan, const char *path, LinkPolicy links);
const char *next_entry(DirScan *scan);
void close_scan(DirScan *scan);
// 1 when the entry last returned is a regular file by the directory's own
// record: certainly not a directory, so it needs no probe. Filesystems that
// do not fill d_type say "unknown", and such entries are probed as before.
int entry_is_regular(const DirScan *scan);
int probe_directory(const char *path, LinkPolicy links);

} // namespace dircast
