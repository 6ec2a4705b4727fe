// The host's Ed25519 key: made once by --make-key, loaded at start-up by
// --signing-key, and used to sign each listing's statement.
#pragma once

#include "../protocol/ed25519.hpp"

namespace dircast {

// The key file holds the 32-byte secret seed and nothing else: the public
// key follows from it, and a file of any other size is not a key.
constexpr long KEY_FILE_SIZE = ED25519_SEED_SIZE;

// Writes a fresh key to path (mode 0600, never over an existing file) and
// prints its public key; the exit status.
int make_key_file(const char *path);
// Reads the key; 0 with a line saying why it is refused. A file that group
// or others may use in any way is refused, as ssh refuses such keys.
int load_signing_key(const char *path);
int signing_key_loaded();
void sign_statement(unsigned char signature[ED25519_SIGNATURE_SIZE], const char *statement, int length);

} // namespace dircast
