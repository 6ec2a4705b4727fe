// Which links the walks follow: the --links mode, and the loop check that
// keeps a link from leading a walk back into the share or above it.
#pragma once

#include "../runtime/sys.hpp"

namespace dircast {

// What the walks need to know of the share root, taken as each walk starts:
// the identities of the root and its ancestors and, when links must stay
// within the share, the root's resolved path.
void learn_share_root();
// 1 when the entry name below dirfd (link or not) may be followed by the
// --links mode; a link that the mode leaves out is not listed at all.
int link_followed(long dirfd, const char *name);
// 1 for the share root and each directory above it.
int root_or_ancestor(const kernel_stat *st);

} // namespace dircast
