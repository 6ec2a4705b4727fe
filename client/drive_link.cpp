// Drive link: dosdevices "/" letter ":" is replaced by a link whose content is
// the mirror root exactly as configured (a relative root resolves against
// the dosdevices directory, as Wine sees it).
#include "drive_link.hpp"
#include "settings.hpp"
#include "../runtime/console.hpp"
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

void map_drive()
{
	build_link_path();
	sys::unlink(link_buffer);
	if (sys::symlink(client_settings.mirror_root, link_buffer) != 0) {
		log_text("dircast-mirror: failed to map drive\n");
		return;
	}
	log_text("dircast-mirror: mapped ");
	log_text(link_buffer);
	log_text(" to ");
	log_text(client_settings.mirror_root);
	log_text("\n");
}

} // namespace dircast
