// The host's three answers, each produced by a fresh walk of the share root.
#pragma once

#include "reply.hpp"

namespace dircast {

void send_manifest(Reply *reply);
void send_full_archive(Reply *reply);
void send_file_archive(Reply *reply, const char *request_path);

// 0 when the share could not be listed whole; the hash is then meaningless.
int compute_manifest_hash(unsigned *hash);

} // namespace dircast
