// make bench's measure of the primitives: SHA-256 throughput by the CPU's
// extensions and by the portable rounds over one 64 MiB buffer, and the time
// of one Ed25519 signature and one verification. Built freestanding for i386
// and x86_64 like the programs, so each build's own code is what is timed.
// Exit 1 when the two rounds disagree or a signature does not verify.
#include "../protocol/ed25519.hpp"
#include "../protocol/sha256.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"

using namespace dircast;

namespace {

constexpr unsigned long BUFFER_SIZE = 64ul << 20;
constexpr int HASH_RUNS = 5;        // passes over the buffer per path
constexpr int SIGNATURE_RUNS = 21;  // signatures and verifications timed
constexpr int STATEMENT_SIZE = 200; // about the size of a listing statement

unsigned char buffer[BUFFER_SIZE];

unsigned long long now_ns()
{
	timespec t = {0, 0};

	sys::clock_gettime(kernel::CLOCK_MONOTONIC, &t);
	return (unsigned long long)t.tv_sec * 1000000000ull + (unsigned long long)t.tv_nsec;
}

unsigned long long median(unsigned long long *samples, int n)
{
	for (int i = 1; i < n; i++)
		for (int j = i; j > 0 && samples[j - 1] > samples[j]; j--) {
			unsigned long long t = samples[j];

			samples[j] = samples[j - 1];
			samples[j - 1] = t;
		}
	return samples[n / 2];
}

unsigned long long time_sha256(int hardware, unsigned char digest[SHA256_SIZE])
{
	unsigned long long samples[HASH_RUNS];

	sha256_select(hardware);
	for (int i = 0; i < HASH_RUNS; i++) {
		unsigned long long start = now_ns();

		sha256(buffer, BUFFER_SIZE, digest);
		samples[i] = now_ns() - start;
	}
	sha256_select(1);
	return median(samples, HASH_RUNS);
}

void report(const char *what, unsigned long long value)
{
	log_text(what);
	log_number(value);
	log_text("\n");
}

int measure_sha256()
{
	unsigned char portable[SHA256_SIZE], hardware[SHA256_SIZE];
	int differ = 0;

	report("sha256 bytes ", BUFFER_SIZE);
	report("sha256 portable ns ", time_sha256(0, portable));
	sha256_select(1);
	if (!sha256_hardware()) {
		log_text("sha256 hardware unavailable\n");
		return 0;
	}
	report("sha256 hardware ns ", time_sha256(1, hardware));
	for (int i = 0; i < SHA256_SIZE; i++)
		differ |= portable[i] ^ hardware[i];
	if (differ)
		log_text("sha256 FAILED: the two rounds disagree\n");
	return differ != 0;
}

int measure_ed25519()
{
	unsigned char key[ED25519_PUBLIC_SIZE], signature[ED25519_SIGNATURE_SIZE];
	unsigned long long sign[SIGNATURE_RUNS], verify[SIGNATURE_RUNS];
	int failed = 0;

	ed25519_public_key(key, buffer);
	for (int i = 0; i < SIGNATURE_RUNS; i++) {
		unsigned char *statement = buffer + 32 + i;
		unsigned long long start = now_ns();

		ed25519_sign(signature, buffer, key, statement, STATEMENT_SIZE);
		sign[i] = now_ns() - start;
		start = now_ns();
		failed |= !ed25519_verify(signature, key, statement, STATEMENT_SIZE);
		verify[i] = now_ns() - start;
		failed |= ed25519_verify(signature, key, statement + 1, STATEMENT_SIZE);
	}
	report("ed25519 sign ns ", median(sign, SIGNATURE_RUNS));
	report("ed25519 verify ns ", median(verify, SIGNATURE_RUNS));
	if (failed)
		log_text("ed25519 FAILED: a signature did not verify, or verified another statement\n");
	return failed;
}

} // namespace

int main(int, char **)
{
	unsigned state = 12345;

	for (unsigned long i = 0; i < BUFFER_SIZE; i++) {
		state = state * 1103515245u + 12345u;
		buffer[i] = (unsigned char)(state >> 16);
	}
	return measure_sha256() | measure_ed25519();
}
