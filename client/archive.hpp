// Archive application as the archive arrives: directories made and files
// written to their partial entries and renamed into place one by one, and
// after a whole full archive, the prune of what it did not list.
#pragma once

#include "mirror_store.hpp"
#include "reply_stream.hpp"
#include "signed_listing.hpp"

namespace dircast {

struct ArchiveApply {
	const char *wanted;  // a single file's path, or null for the full archive
	int lines;
	int magic;           // the first line was the archive's magic
	int done;            // an end line came: later records are not read
	int found;           // a record of the wanted path was applied
	int in_file;         // content goes to file
	int file_listed;     // the manifest lists that file with this size
	unsigned long listed_placed;  // full archive: files placed as the manifest lists them
	IncomingFile file;
	const char *wanted_record;  // pinned: the listing's record of the wanted file
	ContentCheck check;         // pinned: the file's content against its listing
};

// A full archive (wanted null) also feeds every record path to the path
// index, for prune_mirror once the archive is whole.
void start_archive(ArchiveApply *apply, const char *wanted);
// A PieceHandler (see transfers.hpp): 0 stops the transfer, as for an
// archive without its magic.
int apply_piece(void *apply, const StreamPiece *piece);
// Ends the application: a file whose content did not come whole is dropped.
// 1 when the archive had its magic and, for a single file, its record.
int finish_archive(ArchiveApply *apply);
// Removes what the last whole full archive did not list, with the same kind.
void prune_mirror();

} // namespace dircast
