/* Feeds standard input to the client reader in one chunk, then in 100-byte
 * chunks, and prints each event as a line of hex numbers and the sum of its
 * bytes. Built as it is on the host and, with FREESTANDING, for m68k with
 * -mshort, where a 16-bit int does not match the C library's: that build
 * has its own start-up code, memory functions and system calls (trap #0).
 * Both builds must print the same lines. */
#include "twl_client.h"
#ifdef FREESTANDING
#include <stddef.h>
static long sys(long n, long a, long b, long c)
{
    register long d0 __asm__("d0") = n, d1 __asm__("d1") = a, d2 __asm__("d2") = b, d3 __asm__("d3") = c;
    __asm__ volatile("trap #0" : "+r"(d0) : "r"(d1), "r"(d2), "r"(d3) : "memory");
    return d0;
}
#define read(fd, p, n) sys(3, fd, (long)(p), (long)(n))
#define write(fd, p, n) sys(4, fd, (long)(p), (long)(n))
/* An int cannot size the stream here: its memory comes from brk. */
static unsigned char *memory(unsigned long n)
{
    const unsigned long base = (unsigned long)sys(45, 0, 0, 0);
    return (unsigned long)sys(45, (long)(base + n), 0, 0) >= base + n ? (unsigned char *)base : 0;
}
void *memset(void *p, int c, size_t n) { unsigned char *q = p; while (n-- > 0) *q++ = (unsigned char)c; return p; }
void *memcpy(void *to, const void *from, size_t n) { unsigned char *q = to; const unsigned char *s = from; while (n-- > 0) *q++ = *s++; return to; }
void *memmove(void *to, const void *from, size_t n) { unsigned char *q = to; const unsigned char *s = from; if (q < s) return memcpy(to, from, n); while (n-- > 0) q[n] = s[n]; return to; }
void *memchr(const void *p, int c, size_t n) { const unsigned char *s = p; for (; n > 0; --n, ++s) if (*s == (unsigned char)c) return (void *)s; return 0; }
#else
#define _POSIX_C_SOURCE 1
#include <stdlib.h>
#include <unistd.h>
#define memory(n) ((unsigned char *)malloc(n))
#endif

#define STREAM_MAX 3000000UL
static char out[4096];
static unsigned int used;

static void put(char c)
{
    if (used == sizeof out) write(1, out, used), used = 0;
    out[used++] = c;
}

static void num(unsigned long v)
{
    int k;
    for (k = 28; k >= 0; k -= 4) put("0123456789abcdef"[v >> k & 15]);
    put(' ');
}

static void events(const unsigned char *at, unsigned long n, unsigned long chunk)
{
    twlc_reader r;
    twlc_event ev;
    const char *s;
    unsigned long len, k, sum;
    twlc_init(&r);
    for (; n > 0; n -= len) {
        unsigned long left = len = chunk < n ? chunk : n;
        while (twlc_next(&r, &at, &left, &ev) != TWLC_EV_NEED) {
            for (sum = k = 0; k < ev.size; ++k) sum += ev.data[k];
            num((unsigned long)ev.event), num(ev.field), num(ev.field_kind), num(ev.type), num(ev.depth);
            num((unsigned long)ev.reason), num(ev.value), num(ev.more), num(ev.offset), num(ev.size), num(sum);
            for (s = ev.name != 0 ? ev.name : "-"; *s != 0; ++s) put(*s);
            put('\n');
        }
        if (left != 0) put('!');
    }
    while (twlc_finish(&r, &ev) != TWLC_EV_NEED) num((unsigned long)ev.event), num(ev.value), put('\n');
}

static int run(void)
{
    unsigned char *stream = memory(STREAM_MAX), *at = stream;
    unsigned long n = 0;
    long got;
    if (stream == 0) return 2;
    for (; n < STREAM_MAX - TWLC_PIECE_MAX && (got = read(0, at, TWLC_PIECE_MAX)) > 0; n += (unsigned long)got)
        at += (unsigned int)got;
    events(stream, n, n);
    events(stream, n, 100);
    write(1, out, used);
    return 0;
}

#ifdef FREESTANDING
void _start(void) { sys(1, run(), 0, 0); }
#else
int main(void) { return run(); }
#endif
