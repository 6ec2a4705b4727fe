// Shared by the archive and manifest fuzz targets: a scratch directory that
// holds the mirror root beside canary files, links planted in the mirror that
// point at those canaries and at directories outside it, and the oracle that
// aborts when anything outside the mirror root was created, changed or removed.
#pragma once

#include <string>

namespace fuzz {

struct Scratch {
	std::string base;     // everything the target may see lives below here
	std::string mirror;   // base/root/mirror: the mirror root
	std::string dos;      // base/dos: the dosdevices directory
};

// Made once per process (below $DIRCAST_FUZZ_TMP, /dev/shm or /tmp), removed
// at exit; the client's settings point into it and standard output goes to
// /dev/null unless DIRCAST_FUZZ_LOG is set.
const Scratch &scratch();

// Empties the mirror root and plants its links again; with share_files, also
// the files of the seed share, so that manifests taken from it match them.
void reset_mirror(bool share_files);

// Aborts with a description unless everything outside the mirror root is as
// it was when the scratch directory was made (the drive link may be replaced,
// but only by a link to the mirror root).
void check_confined(const char *stage);

} // namespace fuzz
