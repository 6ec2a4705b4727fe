// Drive link: dosdevices "/" letter ":" is replaced by a link whose content is
// the mirror root exactly as configured (a relative root resolves against
// the dosdevices directory, as Wine sees it).
#include "drive_link.hpp"
#include "settings.hpp"
#include "mirror_store.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

char link_buffer[LINK_PATH_SIZE];
static char c_drive_buffer[LINK_PATH_SIZE];

// Only the drive setting's first byte counts; an empty setting leaves the
// path ending in "/", which no unlink or symlink accepts.
void build_link_path()
{
	int cursor = 0;

	append_text(link_buffer, &cursor, client_settings.dosdevices);
	append_char(link_buffer, &cursor, '/');
	append_char(link_buffer, &cursor, client_settings.drive[0]);
	append_char(link_buffer, &cursor, ':');
	link_buffer[cursor] = 0;
}

const char *c_drive_path()
{
	int cursor = 0;

	append_text(c_drive_buffer, &cursor, client_settings.dosdevices);
	append_text(c_drive_buffer, &cursor, "/c:");
	c_drive_buffer[cursor] = 0;
	return c_drive_buffer;
}

// The new link is made under a name of its own beside the drive and renamed
// over it, so Wine finds the old link or the new one at every moment, never
// none. The name is refused as a drive by Wine (no colon) and differs per
// letter, so two mirrors sharing a prefix do not collide.
void map_drive()
{
	char temporary[TEMPORARY_LINK_SIZE];
	int cursor = 0;

	build_link_path();
	append_text(temporary, &cursor, client_settings.dosdevices);
	append_text(temporary, &cursor, "/.dircast-link-");
	append_char(temporary, &cursor, client_settings.drive[0]);
	temporary[cursor] = 0;
	sys::unlink(temporary);  // left by an interrupted run
	if (sys::symlink(client_settings.mirror_root, temporary) != 0 ||
	    sys::renameat(kernel::AT_FDCWD, temporary, kernel::AT_FDCWD, link_buffer) != 0) {
		sys::unlink(temporary);
		log_text("dircast-mirror: failed to map drive\n");
		return;
	}
	log_text("dircast-mirror: mapped ");
	log_text(link_buffer);
	log_text(" to ");
	log_text(client_settings.mirror_root);
	log_text("\n");
}

static int same_file(const kernel_stat *a, const kernel_stat *b)
{
	return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// Climbs from the dosdevices directory by "/.." (so links and relative paths
// count as the kernel resolves them) until the filesystem root, which is its
// own parent, comparing each directory with the mirror root.
int mirror_root_holds_dosdevices()
{
	char path[MIRROR_PATH_SIZE];
	kernel_stat root;
	kernel_stat here;
	kernel_stat previous;
	int cursor = 0;

	append_text(path, &cursor, client_settings.dosdevices);
	path[cursor] = 0;
	if (sys::fstatat(kernel::AT_FDCWD, client_settings.mirror_root, &root, 0) < 0 ||
	    sys::fstatat(kernel::AT_FDCWD, path, &here, 0) < 0)
		return 0;
	while (!same_file(&here, &root)) {
		if (cursor + 4 > MIRROR_PATH_SIZE)
			return 0;
		append_text(path, &cursor, "/..");
		path[cursor] = 0;
		previous = here;
		if (sys::fstatat(kernel::AT_FDCWD, path, &here, 0) < 0 || same_file(&here, &previous))
			return 0;
	}
	return 1;
}

} // namespace dircast
