// Signed listings end to end: the statement the host signs is the one the
// manual documents (checked here with the project's own verifier, apart from
// the mirror), an unchanged share's listing reads no file content, and key
// files and pinned settings that must not be taken are refused at start.
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"
#include "protocol/signed_listing.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace dircast_test;

namespace {

const std::string SIGNED_REQUEST = "GET signed DC-SHARE/1\n\n";

std::string field(const std::string &text, const std::string &key)
{
	size_t at = text.find("\n" + key) + 1 + key.size();
	return text.substr(at, text.find('\n', at) - at);
}

TEST(ServeSigned, SignsTheDocumentedStatementAndReadsNothingWhenUnchanged)
{
	TempDir tmp;
	ServeRun host, keyless;
	RunResult made = run_program({program_path("dircast-serve"), "--make-key", tmp / "k"}, tmp / "k.log");
	unsigned char key[32], signature[64], digest[32];
	struct stat st;

	make_dirs(tmp / "share");
	write_file(tmp / "share/a.txt", "abc");
	write_file(tmp / "share/big", std::string(1 << 20, 'b'));
	ASSERT_EQ(stat((tmp / "k").c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	EXPECT_EQ(st.st_size, 32);
	ASSERT_TRUE(dircast::parse_hex(made.output.substr(made.output.find("key ") + 4, 64).c_str(), key, 32));
	ASSERT_TRUE(start_serve(host, tmp / "share", tmp / "serve.log", {"--signing-key", tmp / "k"}));
	std::string listing = tcp_exchange(host.port, SIGNED_REQUEST);
	size_t sig_at = listing.find("signature=");

	EXPECT_NE(listing.find("\nfile path=a.txt size=3 hash=440920331 sha256="
			       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"),
		  std::string::npos);
	ASSERT_NE(sig_at, std::string::npos);
	ASSERT_TRUE(dircast::parse_hex(listing.substr(sig_at + 10, 128).c_str(), signature, 64));
	dircast::sha256(listing.data(), sig_at, digest);
	std::string statement = "DC-SHARE-STATEMENT/1\nname=c-host\nhash=" + field(listing, "hash=") +
				"\nsequence=" + field(listing, "sequence=") + "\nlisting=";
	int n = (int)statement.size();
	statement.resize(n + 64);
	dircast::append_hex(statement.data(), &n, digest, 32);
	statement += "\n";
	EXPECT_TRUE(dircast::ed25519_verify(signature, key, statement.data(), statement.size()));

	// Once the files have settled, the cache answers for their digests: an
	// unchanged share's listing reads no content.
	EXPECT_TRUE(wait_until([&] {
		long long before = bytes_read(host.process.pid);
		EXPECT_EQ(tcp_exchange(host.port, SIGNED_REQUEST).substr(0, 60), listing.substr(0, 60));
		return bytes_read(host.process.pid) - before < 1 << 20;
	}, 30000, 250));
	ASSERT_TRUE(start_serve(keyless, tmp / "share", tmp / "keyless.log"));
	EXPECT_NE(tcp_exchange(keyless.port, SIGNED_REQUEST).find("\nsignature=none\nEND\n"), std::string::npos);
}

TEST(ServeSigned, RefusesKeysAndPinsThatCannotBeTrusted)
{
	TempDir tmp;
	const std::string serve = program_path("dircast-serve"), mirror = program_path("dircast-mirror");
	const std::string hex63(63, 'a');
	write_file(tmp / "short", std::string(31, 'k'));
	write_file(tmp / "open", std::string(32, 'k'));
	chmod((tmp / "short").c_str(), 0600);
	chmod((tmp / "open").c_str(), 0640);
	struct Case {
		std::vector<std::string> argv;
		std::string line;
	} cases[] = {
		{{serve, "--make-key", tmp / "open"}, "cannot create key file"},
		{{serve, "--broadcast", "127.0.0.1", "--signing-key", tmp / "none"}, "none cannot be read"},
		{{serve, "--broadcast", "127.0.0.1", "--signing-key", tmp / "short"}, "not a key file of 32 bytes"},
		{{serve, "--broadcast", "127.0.0.1", "--signing-key", tmp.path}, "not a key file of 32 bytes"},
		{{serve, "--broadcast", "127.0.0.1", "--signing-key", tmp / "open"}, "open to group or others"},
		{{mirror, "--host", "127.0.0.1", "--host-key", hex63}, "invalid setting --host-key"},
		{{mirror, "--host", "127.0.0.1", "--host-key", hex63 + "A"}, "invalid setting --host-key"},
	};
	for (const Case &c : cases) {
		RunResult r = run_program(c.argv, tmp / "run.log", 5000);
		EXPECT_EQ(r.status, 1) << c.line;
		EXPECT_NE(r.output.find(c.line), std::string::npos) << r.output;
	}
}

} // namespace
