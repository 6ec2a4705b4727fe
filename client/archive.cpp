// Archive application: parses the archive in archive_buffer in place, in one
// pass, and writes its records through the mirror store. File content is
// never split into lines: the cursor jumps over exactly the declared size.
#include "archive.hpp"
#include "drive_link.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "transfers.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/path.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// "file path=" is 10 bytes, "dir path=" 9, " size=" 6.
constexpr int FILE_PATH_AT = 10;
constexpr int DIR_PATH_AT = 9;
constexpr int SIZE_DIGITS_AT = 6;

int archive_has_header(long length)
{
	const char *magic = wire::ARCHIVE_MAGIC;
	long i = 0;

	while (magic[i] && i < length && archive_buffer[i] == magic[i])
		i++;
	return magic[i] == 0;
}

void prune_mirror()
{
	const char *root = client_settings.mirror_root;
	DirScan scan;
	const char *name;

	make_parent_dirs(root);
	make_dir(root);
	if (open_scan(&scan, root, NO_LINKS) < 0)
		return;
	log_text("dircast-mirror: pruning mirror root\n");
	while ((name = next_entry(&scan)))
		remove_tree(scan.fd, name, 0);
	close_scan(&scan);
}

static void apply_dir_record(char *relative)
{
	if (!check_mirror_path(relative, text_length(relative)) || !mirror_can_hold(relative))
		return;
	if (confined_mkdir(client_settings.mirror_root, relative) < 0) {
		note_mirror_fault();
		return;
	}
	log_text("dircast-mirror: mirrored dir ");
	log_text(relative);
	log_text("\n");
}

// A file record line, with the cursor on the first byte after it. A size
// larger than what remains leaves the cursor alone: what follows is then
// read as lines. Otherwise the content and its trailer are consumed.
// Returns 1 when the record's path is the wanted one.
static int apply_file_record(char *line, char **cursor, char *end, const char *wanted)
{
	char relative[RELATIVE_PATH_SIZE];
	int p = find_text(line, wire::SIZE_FIELD);
	unsigned long long size;
	int length = p - FILE_PATH_AT;
	int found = 0;

	if (p <= FILE_PATH_AT)
		return 0;
	size = parse_size(line + p + SIZE_DIGITS_AT);
	if (size > (unsigned long long)(end - *cursor))
		return 0;
	if (check_protocol_path(line + FILE_PATH_AT, length)) {
		copy_span(relative, line + FILE_PATH_AT, length);
		write_mirror_file(relative, *cursor, (unsigned)size);
		found = wanted && text_equals(relative, wanted);
	} else {
		log_text("dircast-mirror: rejected unsafe path\n");
	}
	*cursor += size;
	if (*cursor < end && **cursor == '\n')
		*cursor += 1;
	next_line(cursor, end);
	return found;
}

int apply_archive(long length, const char *wanted)
{
	char *cursor = archive_buffer;
	char *end = archive_buffer + length;
	char *line;
	int found = 0;

	make_dir(c_drive_path());
	make_dir(client_settings.mirror_root);
	log_text("dircast-mirror: mirror root ");
	log_text(client_settings.mirror_root);
	log_text("\n");
	line = next_line(&cursor, end);
	if (!line || !starts_with(line, wire::ARCHIVE_MAGIC)) {
		log_text("dircast-mirror: archive header missing\n");
		return 0;
	}
	while ((line = next_line(&cursor, end)) && line[0])
		;
	begin_mirror_pass();
	while ((line = next_line(&cursor, end)) && !starts_with(line, "END")) {
		if (starts_with(line, wire::DIR_RECORD))
			apply_dir_record(line + DIR_PATH_AT);
		else if (starts_with(line, wire::FILE_RECORD))
			found |= apply_file_record(line, &cursor, end, wanted);
	}
	end_mirror_pass();
	return !wanted || found;
}

} // namespace dircast
