/* A Windows program that lives in the share: run from the mirrored drive, it
 * prints what it finds beside it, so the test sees the share as Wine programs
 * do. Usage: share_reader.exe DRIVE_LETTER */
#include <stdio.h>
#include <windows.h>

int main(int argc, char **argv)
{
	char pattern[MAX_PATH], path[MAX_PATH], line[256];
	WIN32_FIND_DATAA found;
	HANDLE search;
	FILE *f;

	if (argc < 2)
		return 2;
	snprintf(pattern, sizeof pattern, "%s:\\docs\\*", argv[1]);
	search = FindFirstFileA(pattern, &found);
	if (search == INVALID_HANDLE_VALUE)
		return 1;
	do {
		if (found.cFileName[0] == '.')
			continue;
		snprintf(path, sizeof path, "%s:\\docs\\%s", argv[1], found.cFileName);
		f = fopen(path, "r");
		if (f && fgets(line, sizeof line, f))
			printf("%s: %s", found.cFileName, line);
		if (f)
			fclose(f);
	} while (FindNextFileA(search, &found));
	FindClose(search);
	return 0;
}
