// The tree publisher: manifest, full archive and single-file archive. The
// walks keep their place in the answer's cursor stack; each step takes one
// entry or one piece of a file, so no answer holds the others for long.
// Directories list their files first (pass 1), then each subdirectory's
// record followed at once by everything below it (pass 2).
#include "hash_cache.hpp"
#include "hash_walk.hpp"
#include "publisher.hpp"
#include "send_buffer.hpp"
#include "settings.hpp"
#include "signed_answer.hpp"
#include "../protocol/signed_listing.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/path.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

enum Stage { START, HASH_WALK, HEADER, RECORDS, SINGLE_FILE, SIGNATURE, END, DONE };

static void cut_answer(Answer *a, Reply *r)
{
	reply_cut(r);
	a->stage = DONE;
}

// A share root that cannot be listed (a disk not mounted yet, a typo) would
// read at every mirror as a share whose files were all deleted, and a
// listing that fails half way as the loss of the rest: such answers are cut
// instead, without their end marker, so mirrors keep what they have. An
// existing empty root is an empty share.
static int share_root_available(Answer *a, Reply *r)
{
	long fd = sys::open(host_settings.share_root, kernel::O_RDONLY | kernel::O_DIRECTORY);

	if (fd >= 0) {
		sys::close(fd);
		return 1;
	}
	log_text("dircast-serve: share root unavailable\n");
	cut_answer(a, r);
	return 0;
}

// "file path=<relative> size=<size>", the start of both kinds of file record.
static int compose_file_record(char *out, const char *relative, unsigned long long size)
{
	int n = 0;

	append_text(out, &n, wire::FILE_RECORD);
	append_text(out, &n, relative);
	append_text(out, &n, wire::SIZE_FIELD);
	append_decimal(out, &n, size);
	return n;
}

static void gather_manifest_record(Answer *a, Reply *r)
{
	char *out = reply_tail(r);
	int n = compose_file_record(out, a->walk.relative, a->hashed.content.size);

	append_text(out, &n, wire::HASH_FIELD);
	append_decimal(out, &n, a->hashed.content.hash);
	if (a->kind == SIGNED_ANSWER)
		append_digest_field(out, &n, a->hashed.content.digest);
	append_char(out, &n, '\n');
	reply_commit(r, n);
}

// Streams exactly the size measured at open. A file that yields fewer bytes
// (shrunk, or a read error) would leave the reader misaligned on the next
// record, so the answer is cut there instead and the reader sees it
// incomplete.
static void stream_file(Answer *a, Reply *r, long *budget)
{
	long room = reply_room(r);
	long want = a->file_left < (unsigned long long)room ? (long)a->file_left : room;
	long n;

	if (a->file_left == 0) {
		reply_text(r, wire::FILE_TRAILER);
		sys::close(a->file);
		a->file = -1;
		return;
	}
	n = sys::read(a->file, reply_tail(r), want);
	if (n < 1) {
		cut_answer(a, r);
		return;
	}
	reply_commit(r, n);
	a->file_left -= (unsigned long long)n;
	*budget -= n;
}

static void open_archive_file(Answer *a, Reply *r, long dirfd, const char *name, const char *relative)
{
	kernel_stat st;
	int n;

	a->file = open_share_file(dirfd, name, &st);
	if (a->file < 0)
		return;
	a->file_left = (unsigned long long)st.st_size;
	log_text("dircast-serve: sending file ");
	log_text(relative);
	log_text("\n");
	n = compose_file_record(reply_tail(r), relative, a->file_left);
	reply_tail(r)[n++] = '\n';
	reply_commit(r, n);
}

static void start_file_record(Answer *a, Reply *r)
{
	WalkCursor *w = &a->walk;

	if (a->kind == ARCHIVE_ANSWER) {
		open_archive_file(a, r, walk_directory_fd(w), w->name, w->relative);
		return;
	}
	if (start_content_hash(&a->hashed.content, walk_directory_fd(w), w->name, a->hashed.generation))
		gather_manifest_record(a, r);
	else
		a->hashed.hashing = 1;
}

static void gather_dir_record(Reply *r, const char *relative)
{
	char *out = reply_tail(r);
	int n = 0;

	append_text(out, &n, wire::DIR_RECORD);
	append_text(out, &n, relative);
	append_char(out, &n, '\n');
	reply_commit(r, n);
}

// A directory's listing ended: its second pass begins, or the walk returns
// to its parent. A listing that failed, and a share root that can no longer
// be opened for its second pass, cut the answer.
static void end_listing(Answer *a, Reply *r)
{
	WalkCursor *w = &a->walk;

	if (walk_listing_failed(w)) {
		cut_answer(a, r);
		return;
	}
	if (w->levels[w->depth].pass == 1) {
		if (!walk_rewind(w) && w->depth < 0)
			cut_answer(a, r);
		return;
	}
	walk_ascend(w);
	if (w->depth < 0)
		a->stage = a->kind == SIGNED_ANSWER ? SIGNATURE : END;
}

static void record_step(Answer *a, Reply *r, long *budget)
{
	WalkCursor *w = &a->walk;
	EntryKind kind;

	if (a->hashed.hashing) {
		a->hashed.hashing = !continue_content_hash(&a->hashed.content, budget);
		if (!a->hashed.hashing)
			gather_manifest_record(a, r);
		return;
	}
	if (!walk_next(w)) {
		end_listing(a, r);
		return;
	}
	*budget -= WALK_ENTRY_COST;
	kind = walk_entry_kind(w);
	if (kind == ENTRY_FILE) {
		if (w->levels[w->depth].pass == 1)
			start_file_record(a, r);
		return;
	}
	if (kind == ENTRY_DIRECTORY && w->levels[w->depth].pass == 2) {
		gather_dir_record(r, w->relative);
		walk_descend(w);
	}
}

// The manifest hash needs the whole tree before the header can go, so its
// walk is a step at a time too; a listing that fails cuts the answer.
static void hash_step(Answer *a, Reply *r, long *budget)
{
	HashStep step = hash_walk_step(&a->hashed, &a->walk, budget, nullptr);

	if (step == HASH_FAILED)
		cut_answer(a, r);
	else if (step == HASH_DONE)
		a->stage = HEADER;
}

// A manifest's header, or a signed listing's, which carries its sequence too.
static int compose_header(char *out, const char *magic, unsigned hash, const unsigned long long *sequence)
{
	int n = 0;

	append_text(out, &n, magic);
	append_text(out, &n, "\nname=");
	append_text(out, &n, host_settings.share_name);
	append_text(out, &n, "\nhash=");
	append_decimal(out, &n, hash);
	append_text(out, &n, "\n");
	if (sequence) {
		append_text(out, &n, wire::SEQUENCE_KEY);
		append_decimal(out, &n, *sequence);
		append_text(out, &n, "\n");
	}
	append_text(out, &n, wire::ENTRIES_LINE);
	append_text(out, &n, "\n");
	return n;
}

int compose_manifest_header(char *out, unsigned hash)
{
	return compose_header(out, wire::MANIFEST_MAGIC, hash, nullptr);
}

// The listing of an answer, which logs the loops it leaves out in the pass
// given (0: none, the manifest's hash walk did).
static void start_records(Answer *a, Reply *r, int loop_log_pass)
{
	if (!walk_start(&a->walk)) {
		cut_answer(a, r);
		return;
	}
	a->walk.loop_log_pass = loop_log_pass;
	a->stage = RECORDS;
}

// Eleven texts, some of them settings of any length: each is gathered as
// far as room allows and the rest waits for the next step.
static void gather_archive_header(Answer *a, Reply *r)
{
	const HostSettings *s = &host_settings;
	const char *texts[] = {"DC-SHARE-ARCHIVE/1\nname=", s->share_name, "\nroot=", s->share_root,
			       "\ndrive=", s->drive, "\npath=", s->path, "\nmode=", s->mode,
			       "\nentries=recursive\n\n"};
	constexpr int PIECES = sizeof texts / sizeof texts[0];

	if (!a->spill)
		a->spill = texts[a->header_piece++];
	a->spill = reply_text(r, a->spill);
	if (a->spill || a->header_piece < PIECES)
		return;
	if (a->kind == FILE_ANSWER)
		a->stage = SINGLE_FILE;
	else
		start_records(a, r, 2);
}

static void gather_header(Answer *a, Reply *r)
{
	if (a->kind == ARCHIVE_ANSWER || a->kind == FILE_ANSWER) {
		gather_archive_header(a, r);
		return;
	}
	if (a->kind == SIGNED_ANSWER)
		reply_commit(r, compose_header(reply_tail(r), wire::SIGNED_MAGIC, a->hashed.hash, &a->sequence));
	else
		reply_commit(r, compose_manifest_header(reply_tail(r), a->hashed.hash));
	start_records(a, r, 0);
}

// A file is sent only where the listing would list it: reached through
// directories and links that the walks follow, not through a loop.
static void send_single_file(Answer *a, Reply *r)
{
	char path[WALK_PATH_SIZE];
	WalkCursor *w = &a->walk;

	a->stage = END;
	copy_span(path, w->relative, text_length(w->relative));
	if (path_carried(path) && walk_to_file(w, path))
		open_archive_file(a, r, walk_directory_fd(w), w->name, w->relative);
	walk_close(w);
}

// The hash walk and the listing see each file once between them: the
// listing takes the content hashes that the hash walk just made.
static void begin(Answer *a, Reply *r)
{
	if (a->kind == FILE_ANSWER) {
		a->stage = HEADER;
		return;
	}
	if (!share_root_available(a, r))
		return;
	if (a->kind == ARCHIVE_ANSWER) {
		a->stage = HEADER;
		return;
	}
	if (a->kind == SIGNED_ANSWER && !start_signed_answer(&a->sequence, &a->listing)) {
		cut_answer(a, r);
		return;
	}
	start_hash_walk(&a->hashed, begin_cache_request());
	if (!walk_start(&a->walk)) {
		cut_answer(a, r);
		return;
	}
	a->walk.loop_log_pass = 1;
	a->stage = HASH_WALK;
}

static void step(Answer *a, Reply *r, long *budget)
{
	if (a->file >= 0) {
		stream_file(a, r, budget);
		return;
	}
	switch (a->stage) {
	case START: begin(a, r); break;
	case HASH_WALK: hash_step(a, r, budget); break;
	case HEADER: gather_header(a, r); break;
	case RECORDS: record_step(a, r, budget); break;
	case SINGLE_FILE: send_single_file(a, r); break;
	case SIGNATURE:
		gather_signature(r, &a->listing, a->hashed.hash, a->sequence);
		a->stage = END;
		break;
	case END:
		reply_text(r, wire::END_MARKER);
		a->stage = DONE;
		break;
	}
}

// Every step but a file's content gathers at most one line, so a step is
// begun only with a line's room free; content takes whatever room there is.
// A signed listing's header and records also go into its digest as they are
// gathered (a step moves no gathered bytes).
int produce_answer(Answer *answer, Reply *reply, long *budget)
{
	while (answer->stage != DONE && !reply_broken(reply) && *budget > 0) {
		char *tail;

		if (reply_room(reply) < SEND_BUFFER_SIZE)
			return 0;
		tail = reply_tail(reply);
		step(answer, reply, budget);
		if (answer->kind == SIGNED_ANSWER && answer->stage <= SIGNATURE)
			sha256_update(&answer->listing, tail, reply_tail(reply) - tail);
	}
	return answer->stage == DONE || reply_broken(reply);
}

// The path runs to the first NUL, CR or LF, cut at 511 bytes.
static void copy_request_path(char *out, const char *request_path)
{
	int n = 0;

	while (n < wire::PATH_LIMIT && request_path[n] && request_path[n] != '\r' && request_path[n] != '\n')
		n++;
	copy_span(out, request_path, n);
}

void start_answer(Answer *answer, const char *request)
{
	answer->stage = START;
	answer->header_piece = 0;
	answer->spill = nullptr;
	answer->hashed.hashing = 0;
	answer->hashed.content.with_digest = 0;
	answer->file = -1;
	answer->walk.depth = -1;
	if (starts_with(request, wire::MANIFEST_PREFIX)) {
		answer->kind = MANIFEST_ANSWER;
	} else if (starts_with(request, wire::SIGNED_PREFIX)) {
		answer->kind = SIGNED_ANSWER;
		answer->hashed.content.with_digest = 1;
	} else if (starts_with(request, wire::FILE_PREFIX)) {
		answer->kind = FILE_ANSWER;
		copy_request_path(answer->walk.relative, request + wire::FILE_PREFIX_LENGTH);
	} else {
		answer->kind = ARCHIVE_ANSWER;
	}
}

void end_answer(Answer *answer)
{
	walk_close(&answer->walk);
	abandon_hash_walk(&answer->hashed);
	if (answer->file >= 0)
		sys::close(answer->file);
	answer->file = -1;
}

const char *answer_log_line(const Answer *answer)
{
	if (answer->kind == MANIFEST_ANSWER)
		return "dircast-serve: manifest sent\n";
	if (answer->kind == FILE_ANSWER)
		return "dircast-serve: file archive sent\n";
	if (answer->kind == SIGNED_ANSWER)
		return "dircast-serve: signed listing sent\n";
	return "dircast-serve: archive sent\n";
}

} // namespace dircast
