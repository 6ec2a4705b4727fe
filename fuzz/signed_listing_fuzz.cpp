// The pinned mirror's check of a signed listing, fed as the receive loop
// feeds it: lines out of the reply stream, then the verdict under a fixed
// key. The kept corpus holds listings that key really signed, so mutations
// start from the verified path. A listing that verifies must stop verifying
// when any one byte before its signature line changes.
#include "client/reply_stream.hpp"
#include "client/signed_listing.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// The corpus was signed with the key whose seed is 32 bytes of 0x42.
const unsigned char *fuzz_public_key()
{
	static unsigned char key[dircast::ED25519_PUBLIC_SIZE];
	static bool made = false;
	unsigned char seed[dircast::ED25519_SEED_SIZE];

	if (!made) {
		for (unsigned char &b : seed)
			b = 0x42;
		dircast::ed25519_public_key(key, seed);
		made = true;
	}
	return key;
}

dircast::ListingVerdict check(const std::string &reply)
{
	static dircast::ListingCheck c;
	dircast::ReplyStream stream;
	dircast::StreamPiece piece;
	const char *p = reply.data();

	dircast::start_stream(&stream, dircast::MANIFEST_STREAM);
	dircast::start_listing_check(&c);
	while (!dircast::stream_ended(&stream) && dircast::next_piece(&stream, &p, reply.data() + reply.size(), &piece))
		dircast::take_listing_line(&c, piece.bytes, piece.length, piece.cut);
	return dircast::listing_verdict(&c, fuzz_public_key());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string reply((const char *)data, size);
	size_t signature = reply.rfind("\nsignature=");

	if (check(reply) != dircast::LISTING_VERIFIED)
		return 0;
	if (signature == std::string::npos)
		abort();
	for (size_t at = 0; at <= signature; at += 1 + signature / 7) {
		std::string forged = reply;
		forged[at] ^= 0x20;
		if (check(forged) == dircast::LISTING_VERIFIED)
			abort();
	}
	return 0;
}
