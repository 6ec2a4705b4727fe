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
	char batch[SCAN_BATCH];
};

long open_scan(DirScan *scan, const char *path, LinkPolicy links);
const char *next_entry(DirScan *scan);
void close_scan(DirScan *scan);
int probe_directory(const char *path, LinkPolicy links);

} // namespace dircast
