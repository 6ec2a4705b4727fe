// The host's signing key and its key file.
#include "signing_key.hpp"
#include "../protocol/signed_listing.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

// Group and other permission bits: any of them makes the key not private.
constexpr unsigned SHARED_MODE_BITS = 0077;

struct SigningKey {
	int loaded;
	unsigned char seed[ED25519_SEED_SIZE];
	unsigned char public_key[ED25519_PUBLIC_SIZE];
};

static SigningKey signing_key;

static void log_public_key(const char *before, const unsigned char *public_key)
{
	char hex[2 * ED25519_PUBLIC_SIZE + 2];
	int n = 0;

	append_hex(hex, &n, public_key, ED25519_PUBLIC_SIZE);
	hex[n++] = '\n';
	hex[n] = 0;
	log_text(before);
	log_text(hex);
}

// getrandom hands out up to 256 bytes whole once the pool is seeded; a
// signal may still cut the wait short, so it is asked again.
static int random_seed(unsigned char *seed)
{
	long r;

	do
		r = sys::getrandom(seed, ED25519_SEED_SIZE, 0);
	while (r == -EINTR);
	return r == ED25519_SEED_SIZE;
}

static int write_seed(const char *path, const unsigned char *seed)
{
	long fd = sys::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	long written;

	if (fd < 0)
		return 0;
	written = sys::write(fd, seed, ED25519_SEED_SIZE);
	if (sys::close(fd) < 0 || written != ED25519_SEED_SIZE) {
		sys::unlink(path);
		return 0;
	}
	return 1;
}

int make_key_file(const char *path)
{
	unsigned char seed[ED25519_SEED_SIZE];
	unsigned char public_key[ED25519_PUBLIC_SIZE];

	if (!random_seed(seed)) {
		log_text("dircast-serve: no random bytes for a key\n");
		return 1;
	}
	if (!write_seed(path, seed)) {
		log_text("dircast-serve: cannot create key file ");
		log_text(path);
		log_text("\n");
		return 1;
	}
	ed25519_public_key(public_key, seed);
	log_public_key("dircast-serve: public key ", public_key);
	return 0;
}

static int refuse_key(const char *path, const char *why)
{
	log_text("dircast-serve: signing key ");
	log_text(path);
	log_text(why);
	return 0;
}

int load_signing_key(const char *path)
{
	SigningKey *k = &signing_key;
	long fd = sys::open(path, O_RDONLY | O_CLOEXEC);
	kernel_stat st;
	long n;

	if (fd < 0)
		return refuse_key(path, " cannot be read\n");
	n = sys::fstat(fd, &st);
	if (n < 0 || (st.st_mode & S_IFMT) != S_IFREG || st.st_size != KEY_FILE_SIZE) {
		sys::close(fd);
		return refuse_key(path, " is not a key file of 32 bytes\n");
	}
	if (st.st_mode & SHARED_MODE_BITS) {
		sys::close(fd);
		return refuse_key(path, " is open to group or others (chmod 600)\n");
	}
	n = sys::read(fd, k->seed, ED25519_SEED_SIZE);
	sys::close(fd);
	if (n != ED25519_SEED_SIZE)
		return refuse_key(path, " cannot be read\n");
	ed25519_public_key(k->public_key, k->seed);
	k->loaded = 1;
	log_public_key("dircast-serve: signing with public key ", k->public_key);
	return 1;
}

int signing_key_loaded() { return signing_key.loaded; }

void sign_statement(unsigned char signature[ED25519_SIGNATURE_SIZE], const char *statement, int length)
{
	ed25519_sign(signature, signing_key.seed, signing_key.public_key, statement, length);
}

} // namespace dircast
