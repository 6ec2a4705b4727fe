// Replays fuzz inputs through a target's entry function once each, without
// libFuzzer: the regression run of the kept corpora under the plain build.
// Arguments are files or directories of files; an oracle failure aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

static void collect(const std::string &path, std::vector<std::string> &files)
{
	struct stat st;

	if (stat(path.c_str(), &st) != 0)
		return;
	if (!S_ISDIR(st.st_mode)) {
		files.push_back(path);
		return;
	}
	if (DIR *d = opendir(path.c_str())) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				collect(path + "/" + e->d_name, files);
		closedir(d);
	}
}

int main(int argc, char **argv)
{
	std::vector<std::string> files;

	if (LLVMFuzzerInitialize)
		LLVMFuzzerInitialize(&argc, &argv);
	for (int i = 1; i < argc; i++)
		collect(argv[i], files);
	std::sort(files.begin(), files.end());
	for (const std::string &file : files) {
		std::ifstream in(file, std::ios::binary);
		std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
		LLVMFuzzerTestOneInput((const uint8_t *)bytes.data(), bytes.size());
	}
	fprintf(stderr, "replayed %zu inputs\n", files.size());
	return files.empty() ? 1 : 0;
}
