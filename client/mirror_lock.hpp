// One dircast-mirror per mirror root: two would write the same files and
// prune each other's work. The lock is the kernel's, on the mirror root
// itself, so it leaves no file and ends with the process, however it ends.
#pragma once

namespace dircast {

// Makes the mirror root if need be and locks it for the life of the
// process; 0 when another process holds it. A root that cannot be opened as
// a directory has nothing to guard: every turn fails on it as it would.
int lock_mirror_root();

} // namespace dircast
