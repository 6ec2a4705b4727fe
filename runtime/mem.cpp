// The four memory routines GCC may emit calls to even in a freestanding build
// (struct copies, zeroing). This file is built with loop-pattern recognition
// off, or the loops below would be turned back into calls to themselves.
#include <stddef.h>

extern "C" {

void *memcpy(void *dst, const void *src, size_t n)
{
	unsigned char *d = (unsigned char *)dst;
	const unsigned char *s = (const unsigned char *)src;

	while (n--)
		*d++ = *s++;
	return dst;
}

void *memmove(void *dst, const void *src, size_t n)
{
	unsigned char *d = (unsigned char *)dst;
	const unsigned char *s = (const unsigned char *)src;

	if (d < s)
		return memcpy(dst, src, n);
	while (n--)
		d[n] = s[n];
	return dst;
}

void *memset(void *dst, int c, size_t n)
{
	unsigned char *d = (unsigned char *)dst;

	while (n--)
		*d++ = (unsigned char)c;
	return dst;
}

int memcmp(const void *a, const void *b, size_t n)
{
	const unsigned char *x = (const unsigned char *)a;
	const unsigned char *y = (const unsigned char *)b;

	for (; n; n--, x++, y++) {
		if (*x != *y)
			return *x - *y;
	}
	return 0;
}

} // extern "C"
