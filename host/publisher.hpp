// The host's three answers (manifest, full archive, single-file archive),
// each produced by a fresh walk of the share root a piece at a time: an
// answer gathers what the reply has room for and goes on in a later turn.
#pragma once

#include "reply.hpp"
#include "../protocol/sha256.hpp"
#include "hash_walk.hpp"
#include "share_file.hpp"
#include "walk_cursor.hpp"

namespace dircast {

enum AnswerKind { MANIFEST_ANSWER, ARCHIVE_ANSWER, FILE_ANSWER, SIGNED_ANSWER };

struct Answer {
	AnswerKind kind;
	int stage;
	int header_piece;       // archive header texts gathered so far
	const char *spill;      // the rest of a header text that did not fit
	HashWalk hashed;        // the manifest hash, and the content hash of the entry at hand
	long file;              // the archive file whose content is being sent, else -1
	unsigned long long file_left;
	unsigned long long sequence;  // a signed listing's: the realtime clock in ms
	Sha256 listing;               // a signed listing's bytes so far
	// The walk; a single-file answer keeps its requested path in walk.relative.
	WalkCursor walk;
};

// The request is NUL-terminated; only its prefix and a file path matter.
void start_answer(Answer *answer, const char *request);
// Gathers about *budget bytes of work into the reply (less when the reply
// is full); 1 once the answer is complete or cut.
int produce_answer(Answer *answer, Reply *reply, long *budget);
// Closes whatever the answer holds open, finished or not.
void end_answer(Answer *answer);
// "dircast-serve: manifest sent\n" and the like, written when it ends.
const char *answer_log_line(const Answer *answer);

// The manifest header for a hash, composed at out, which holds a line
// (SEND_BUFFER_SIZE bytes: settings that would not fit are refused at
// start-up); its length.
int compose_manifest_header(char *out, unsigned hash);

} // namespace dircast
