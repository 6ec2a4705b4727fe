// The check walks the spool's file records. A file whose stamp was taken on
// trust is hashed: one that matches is stamped as proved, one that does not
// loses its stamp, so that the next turn's delta fetches it again.
#include "trust_check.hpp"
#include "delta.hpp"
#include "manifest_spool.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

// A slice ends after this much content was read (a quarter of a second or
// so), or after this many records, so that beacons are looked at often.
constexpr unsigned long long CHECK_SLICE_BYTES = 64ull << 20;
constexpr int CHECK_SLICE_RECORDS = 1024;

struct TrustCheck {
	int open;
	int changed;
	SpoolReader reader;
};

static TrustCheck check;

void start_trust_check()
{
	stop_trust_check();
	check.open = open_spool(&check.reader);
	check.changed = 0;
}

void stop_trust_check()
{
	if (check.open)
		close_spool(&check.reader);
	check.open = 0;
}

static int stamp_to_prove(const kernel_stat *st, unsigned long long size, unsigned hash)
{
	return (st->st_mode & S_IFMT) == S_IFREG && stamp_shows(st, size, hash) && stamp_trusted(st);
}

// Bytes read. A file written by anyone while it is read keeps the time that
// writer gave it: its stamp is gone either way.
static unsigned long long check_file(const char *relative, unsigned long long size, unsigned hash)
{
	kernel_stat st;
	long fd;

	// Most files carry a proved stamp, or none: their metadata is enough.
	if (confined_stat(client_settings.mirror_root, relative, &st) < 0 || !stamp_to_prove(&st, size, hash))
		return 0;
	fd = confined_open_file(client_settings.mirror_root, relative, O_RDONLY | O_NONBLOCK, 0);
	if (fd < 0)
		return 0;
	if (sys::fstat(fd, &st) == 0 && stamp_to_prove(&st, size, hash) && prove_file(fd, size, hash) == PROOF_DIFFERS) {
		timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};

		sys::utimensat(fd, nullptr, times, 0);
		check.changed = 1;
		log_text("dircast-mirror: file changed while it was sent ");
		log_text(relative);
		log_text("\n");
	}
	sys::close(fd);
	return size;
}

TrustCheckStep trust_check_step()
{
	char relative[RELATIVE_PATH_SIZE];
	unsigned long long size, read = 0;
	unsigned hash;
	const char *line = nullptr;

	if (!check.open)
		return CHECK_DONE;
	begin_mirror_pass();
	for (int n = 0; n < CHECK_SLICE_RECORDS && read < CHECK_SLICE_BYTES; n++) {
		line = next_spool_line(&check.reader);
		if (!line)
			break;
		if (read_file_record(line, relative, &size, &hash) > 0)
			read += check_file(relative, size, hash);
	}
	end_mirror_pass();
	if (line)
		return CHECK_GOING;
	stop_trust_check();
	return check.changed ? CHECK_DONE_CHANGED : CHECK_DONE;
}

} // namespace dircast
