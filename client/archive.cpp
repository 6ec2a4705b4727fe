// Archive application, piece by piece as the reply arrives. Directories are
// made (an entry of another kind in the way gives way), files are written
// beside their leaf and renamed over it only once their content is whole,
// so the mirror never shows a file partly written, and nothing the new share
// still holds disappears before its replacement is in place. Entries that
// the archive does not list are pruned only after the archive was whole.
#include "archive.hpp"
#include "delta.hpp"
#include "drive_link.hpp"
#include "manifest_index.hpp"
#include "manifest_lookup.hpp"
#include "settings.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/path.hpp"
#include "../runtime/text.hpp"

namespace dircast {

constexpr int FILE_PATH_AT = sizeof wire::FILE_RECORD - 1;
constexpr int DIR_PATH_AT = sizeof wire::DIR_RECORD - 1;

void start_archive(ArchiveApply *apply, const char *wanted)
{
	apply->wanted = wanted;
	apply->lines = 0;
	apply->magic = 0;
	apply->done = 0;
	apply->found = 0;
	apply->in_file = 0;
	apply->listed_placed = 0;
	apply->wanted_record = nullptr;
	apply->check.active = 0;
	if (!wanted)
		clear_path_index();
}

static void apply_dir_record(const char *relative)
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

// A file record line whose content follows: the file is under way when its
// path is safe (and, for a single file, the wanted one); otherwise its
// content is passed over. A full archive takes the content hash of a file
// the manifest lists with the same size on trust; a single file, fetched
// because it changed, is always hashed as it arrives. A pinned mirror
// writes only files its listing names, each checked against its digest.
static void begin_file_record(ArchiveApply *apply, const char *line, unsigned long long size)
{
	char relative[RELATIVE_PATH_SIZE];
	unsigned hash;
	int p = find_text(line, wire::SIZE_FIELD);
	int length = p - FILE_PATH_AT;
	int listed = 0;

	if (!check_protocol_path(line + FILE_PATH_AT, length)) {
		log_text("dircast-mirror: rejected unsafe path\n");
		return;
	}
	copy_span(relative, line + FILE_PATH_AT, length);
	if (apply->wanted && !text_equals(relative, apply->wanted))
		return;
	if (pinned_mirror()) {
		if (!expect_listed_content(&apply->check, apply->wanted_record, relative, size, &hash))
			return;
		listed = !apply->wanted;
	}
	apply->in_file = begin_mirror_file(&apply->file, relative);
	apply->found |= apply->wanted != nullptr;
	apply->file_listed = apply->in_file && !apply->wanted && (listed || manifest_lists_file(relative, size, &hash));
	if (apply->file_listed)
		trust_manifest_hash(&apply->file, hash);
}

static void apply_record_line(ArchiveApply *apply, const StreamPiece *piece)
{
	const char *line = piece->bytes;
	unsigned long long size;

	if (piece->cut) {
		if (starts_with(line, wire::FILE_RECORD) || starts_with(line, wire::DIR_RECORD))
			log_text("dircast-mirror: rejected unsafe path\n");
		return;
	}
	if (!apply->wanted)
		index_record_line(line);
	if (starts_with(line, wire::DIR_RECORD) && !apply->wanted)
		apply_dir_record(line + DIR_PATH_AT);
	else if (record_content_size(line, &size))
		begin_file_record(apply, line, size);
}

static void apply_content(ArchiveApply *apply, const StreamPiece *piece)
{
	if (!apply->in_file)
		return;
	if (piece->kind == CONTENT) {
		write_mirror_bytes(&apply->file, piece->bytes, piece->length);
		check_content(&apply->check, piece->bytes, piece->length);
		return;
	}
	if (content_verified(&apply->check, apply->file.relative)) {
		end_mirror_file(&apply->file);
		apply->listed_placed += apply->file_listed && apply->file.ok;
	} else {
		abandon_mirror_file(&apply->file);
	}
	apply->in_file = 0;
}

int apply_piece(void *context, const StreamPiece *piece)
{
	ArchiveApply *apply = (ArchiveApply *)context;

	if (apply->lines == 0 && piece->kind == HEADER_LINE) {
		apply->lines++;
		apply->magic = starts_with(piece->bytes, wire::ARCHIVE_MAGIC);
		if (!apply->magic) {
			log_text("dircast-mirror: archive header missing\n");
			return 0;
		}
		log_text("dircast-mirror: mirror root ");
		log_text(client_settings.mirror_root);
		log_text("\n");
		make_dir(c_drive_path());
		make_parent_dirs(client_settings.mirror_root);
		make_dir(client_settings.mirror_root);
		begin_mirror_pass();
		return 1;
	}
	if (piece->kind == CONTENT || piece->kind == CONTENT_DONE)
		apply_content(apply, piece);
	else if (piece->kind == RECORD_LINE && !apply->done && starts_with(piece->bytes, "END"))
		apply->done = 1;
	else if (piece->kind == RECORD_LINE && !apply->done)
		apply_record_line(apply, piece);
	return 1;
}

int finish_archive(ArchiveApply *apply)
{
	if (apply->in_file)
		abandon_mirror_file(&apply->file);
	apply->in_file = 0;
	if (apply->magic)
		end_mirror_pass();
	return apply->magic && (!apply->wanted || apply->found);
}

// The index of the whole archive's records is the share's listing: what it
// does not list, with the same kind, goes. An index that overflowed lists
// too little to prune by.
void prune_mirror()
{
	if (path_index_overflowed() || !probe_directory(client_settings.mirror_root, NO_LINKS))
		return;
	log_text("dircast-mirror: pruning mirror root\n");
	prune_listed(client_settings.mirror_root);
}

} // namespace dircast
