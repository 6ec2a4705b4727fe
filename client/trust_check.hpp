// Proving files a full sync stamped on the manifest's word. The manifest and
// the archive are two requests: a file that changed between them, and
// changed back by the next manifest, would otherwise pass every later quick
// check with content the share no longer has. A running mirror reads such
// files back while it waits for its next turn, a slice at a time between
// looks at the beacons.
#pragma once

namespace dircast {

enum TrustCheckStep {
	CHECK_GOING,        // call again
	CHECK_DONE,         // every trusted file proved, or unstamped when it did not
	CHECK_DONE_CHANGED  // done, and some file was not what its stamp says
};

// From the top of this turn's spool.
void start_trust_check();
// One slice of the files: at most CHECK_SLICE_BYTES read.
TrustCheckStep trust_check_step();
// Leaves the check where it is; the next start begins again.
void stop_trust_check();

} // namespace dircast
