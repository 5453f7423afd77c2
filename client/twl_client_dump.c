/* twl-dump: prints a stream of TWL frames, one block per frame, field by
 * field as they arrive. Strict C89, on the streaming reader alone; it holds
 * a 2 KiB read buffer and one string of at most 2,000 bytes, so it runs the
 * same on a 68k Mac as on the relay host.
 *
 *   twl-dump [--escaped] [--hex] [--version] [-h|--help] [FILE]
 *   FILE "-" or no FILE reads standard input
 *
 * Each block opens with the frame's stream offset, type name and code and
 * payload length, then lists every field by name, in wire order. Strings are
 * shown in double quotes as a Mac shows them, Mac OS Roman decoded to UTF-8;
 * the style codes 0x01, 0x02, 0x03 read <b> <i> <code> where they open a
 * span and </b> </i> </code> where they close it, and every other control
 * byte reads \xNN. --escaped shows strings in ASCII instead: printable ASCII
 * as it is, except \ " < which read \\ \" \<, the style codes as tags, and
 * every other byte as \xNN. A payload that breaks its layout ends with the
 * place and the reason, then its remaining bytes in hex; a type the relay
 * does not define is shown in hex, and a frame cut off by the end of the
 * stream shows the bytes that arrived. --hex adds a hex dump of every frame
 * (and holds each frame whole for it). The last line totals the stream:
 * "total: bytes=N frames=N malformed=N skipped=N".
 *
 * Exit status: 0 when every byte belonged to a well-formed frame (a type
 * the relay does not define counts as well-formed, for it may be newer); 1
 * when the stream ended inside a frame, bytes were skipped or a payload
 * broke its layout; 2 on a usage, read or write error. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "twl_client.h"
#include "relay/twr_version.h"

#define TEXT_MAX TWL_STRING_MAX

static const char *bytes_word(unsigned long n)
{
    return n == 1 ? "byte" : "bytes";
}

static void indent(int depth)
{
    while (depth-- > 0) fputs("  ", stdout);
}

/* Hex lines of sixteen bytes: offset, hex in two groups of eight, printable
 * ASCII. Bytes arrive in pieces; a line is printed when it is full. */
typedef struct hex_lines {
    unsigned char line[16];
    unsigned int used;
    unsigned long at; /* offset shown for the line being filled */
    int depth;
} hex_lines;

static void hex_start(hex_lines *h, int depth, unsigned long at)
{
    h->used = 0;
    h->at = at;
    h->depth = depth;
}

static void hex_flush(hex_lines *h)
{
    unsigned int k;
    if (h->used == 0) return;
    indent(h->depth);
    printf("%04lx ", h->at);
    for (k = 0; k < 16; ++k) {
        if (k == 8) putchar(' ');
        if (k < h->used) printf(" %02x", h->line[k]);
        else fputs("   ", stdout);
    }
    fputs("  |", stdout);
    for (k = 0; k < h->used; ++k) putchar(h->line[k] >= 0x20 && h->line[k] <= 0x7E ? h->line[k] : '.');
    fputs("|\n", stdout);
    h->at += h->used;
    h->used = 0;
}

static void hex_add(hex_lines *h, const unsigned char *p, unsigned long n)
{
    while (n-- > 0) {
        h->line[h->used++] = *p++;
        if (h->used == 16) hex_flush(h);
    }
}

/* Mac OS Roman 0x80 to 0xFF as Unicode code points, Apple's current table
 * (0xDB the euro sign, 0xF0 the Apple logo), as the dissector decodes it. */
static const unsigned short mac_roman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5,
    0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3, 0x00F2, 0x00F4,
    0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6,
    0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265,
    0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF,
    0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044,
    0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9,
    0x0131, 0x02C6, 0x02DC, 0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7};

static void put_utf8(unsigned int cp)
{
    if (cp < 0x800) {
        putchar(0xC0 | cp >> 6);
    } else {
        putchar(0xE0 | cp >> 12);
        putchar(0x80 | (cp >> 6 & 0x3F));
    }
    putchar(0x80 | (cp & 0x3F));
}

/* A string in double quotes, decoded from Mac OS Roman, or in escaped
 * ASCII. */
static void print_string(const unsigned char *p, unsigned long n, int escaped)
{
    static const char *const open_tag[4] = {0, "<b>", "<i>", "<code>"};
    static const char *const close_tag[4] = {0, "</b>", "</i>", "</code>"};
    int in_span[4] = {0, 0, 0, 0};
    unsigned long k;
    putchar('"');
    for (k = 0; k < n; ++k) {
        const unsigned char b = p[k];
        if (b >= 0x01 && b <= 0x03) {
            fputs(in_span[b] ? close_tag[b] : open_tag[b], stdout);
            in_span[b] = !in_span[b];
        } else if (escaped && (b == '\\' || b == '"' || b == '<')) {
            printf("\\%c", b);
        } else if (b >= 0x20 && b <= 0x7E) {
            putchar(b);
        } else if (b >= 0x80 && !escaped) {
            put_utf8(mac_roman[b - 0x80]);
        } else {
            printf("\\x%02X", b);
        }
    }
    putchar('"');
}

/* The reason for a fault, as a format for the field's name. */
static const char *why(int reason)
{
    switch (reason) {
    case TWLC_BAD_SHORT: return "the payload ends inside %s";
    case TWLC_BAD_LONG_STRING: return "%s is longer than its maximum";
    case TWLC_BAD_NUL: return "%s holds a 0 byte";
    case TWLC_BAD_FIXED_BYTE: return "%s is not its fixed value";
    case TWLC_BAD_FLAG_BITS: return "%s has bits no builder sets";
    case TWLC_BAD_DATA_LENGTH: return "%s is not the length of the bytes that follow";
    case TWLC_BAD_LEFT_OVER: return "bytes are left over";
    default: return "longer than any payload of its type";
    }
}

/* What the dump keeps between events. */
typedef struct dump {
    int hex;                /* --hex: print every frame whole, too */
    int escaped;            /* --escaped: strings in escaped ASCII */
    unsigned char *frame;   /* --hex: the frame's bytes so far */
    unsigned long frame_len, frame_cap;
    int in_frame;
    const char *type_name;  /* the frame's type name; 0 for an unknown type */
    unsigned char text[TEXT_MAX];
    unsigned long text_len;
    twlc_event text_field;  /* the string being gathered, while more is to come */
    hex_lines lines;
    unsigned long frames, malformed, skipped;
    int cut, out_of_memory;
} dump;

/* --hex: keeps the bytes the reader took, from the frame's first byte. */
static void keep(dump *d, const unsigned char *p, unsigned long n)
{
    if (!d->hex || n == 0) return;
    if (d->frame_len + n > d->frame_cap) {
        unsigned long cap = d->frame_cap * 2 + n + 64;
        unsigned char *grown = (unsigned char *)realloc(d->frame, cap);
        if (grown == 0) {
            d->out_of_memory = 1;
            return;
        }
        d->frame = grown;
        d->frame_cap = cap;
    }
    memcpy(d->frame + d->frame_len, p, n);
    d->frame_len += n;
    /* Between frames only the last header's worth matters. */
    if (!d->in_frame && d->frame_len > 10) {
        memmove(d->frame, d->frame + d->frame_len - 10, 10);
        d->frame_len = 10;
    }
}

/* The string gathered, `name: "text" (N bytes)`, or `(N of M bytes)` when
 * the stream ended inside it. */
static void print_text(dump *d, const twlc_event *ev)
{
    indent(ev->depth + 1);
    printf("%s: ", ev->name);
    print_string(d->text, d->text_len, d->escaped);
    if (d->text_len != ev->value) printf(" (%lu of %lu bytes)\n", d->text_len, ev->value);
    else printf(" (%lu %s)\n", d->text_len, bytes_word(d->text_len));
    d->text_field.more = 0;
}

/* --hex: the last n bytes kept, in hex lines. */
static void print_frame(dump *d, unsigned long n)
{
    hex_lines all;
    hex_start(&all, 2, 0);
    hex_add(&all, d->frame + d->frame_len - n, n);
    hex_flush(&all);
}

static void on_event(dump *d, const twlc_event *ev)
{
    switch (ev->event) {
    case TWLC_EV_SKIP:
        printf("offset %lu: skipped %lu %s (no valid frame header)\n", ev->offset, ev->value, bytes_word(ev->value));
        d->skipped += ev->value;
        break;
    case TWLC_EV_FRAME:
        d->in_frame = 1;
        d->text_field.more = 0;
        d->type_name = ev->name;
        printf("offset %lu: ", ev->offset);
        if (ev->name != 0) printf("%s (0x%02X)", ev->name, ev->type);
        else printf("unknown type 0x%02X", ev->type);
        printf(", payload %lu %s\n", ev->value, bytes_word(ev->value));
        if (ev->name == 0) {
            puts("  payload bytes:");
            hex_start(&d->lines, 2, 0);
        }
        break;
    case TWLC_EV_INT:
        indent(ev->depth + 1);
        if (ev->field_kind == TWL_F_FLAGS) printf("%s: 0x%02lX\n", ev->name, ev->value);
        else printf("%s: %lu\n", ev->name, ev->value);
        break;
    case TWLC_EV_ENTRY:
        indent(ev->depth + 1);
        printf("%s %lu:\n", ev->name, ev->value);
        break;
    case TWLC_EV_RECORD:
        indent(ev->depth + 1);
        printf("%s:\n", ev->name);
        break;
    case TWLC_EV_BYTES:
        /* The first 64 bytes; --hex shows them all. */
        if (ev->more + ev->size == ev->value) {
            indent(ev->depth + 1);
            printf("%s:\n", ev->name);
            hex_start(&d->lines, ev->depth + 2, 0);
        }
        if (d->lines.at + d->lines.used < 64) {
            const unsigned long room = 64 - (d->lines.at + d->lines.used);
            hex_add(&d->lines, ev->data, ev->size < room ? ev->size : room);
        }
        if (ev->more == 0) {
            hex_flush(&d->lines);
            if (ev->value > 64) {
                indent(ev->depth + 2);
                printf("... %lu more bytes\n", ev->value - 64);
            }
        }
        break;
    case TWLC_EV_TEXT:
        d->text_field = *ev;
        if (twlc_gather(d->text, sizeof d->text, &d->text_len, ev)) print_text(d, ev);
        break;
    case TWLC_EV_FAULT:
        d->text_field.more = 0;
        ++d->malformed;
        printf("  malformed %s payload at byte %lu: ", d->type_name, ev->offset);
        printf(why(ev->reason), ev->name);
        putchar('\n');
        hex_start(&d->lines, 2, ev->offset);
        break;
    case TWLC_EV_RAW:
        hex_add(&d->lines, ev->data, ev->size);
        break;
    case TWLC_EV_END:
        hex_flush(&d->lines);
        ++d->frames;
        d->in_frame = 0;
        if (d->hex && d->out_of_memory) {
            puts("  frame bytes: not shown, no memory to hold the frame");
            d->out_of_memory = 0;
        } else if (d->hex) {
            puts("  frame bytes:");
            print_frame(d, d->frame_len);
        }
        d->frame_len = 0;
        break;
    case TWLC_EV_CUT:
        /* What arrived of the frame: a string's first bytes, a pending hex
         * line, and with --hex the bytes themselves. */
        if (d->text_field.more != 0) print_text(d, &d->text_field);
        hex_flush(&d->lines);
        printf("offset %lu: stream ends inside a frame (%lu %s)\n", ev->offset, ev->value, bytes_word(ev->value));
        if (d->hex && d->out_of_memory) {
            puts("  frame bytes: not shown, no memory to hold the frame");
        } else if (d->hex) {
            puts("  frame bytes so far:");
            print_frame(d, d->in_frame ? d->frame_len : ev->value);
        }
        d->in_frame = 0;
        d->cut = 1;
        break;
    }
}

static int usage(FILE *to)
{
    fputs("usage: twl-dump [--escaped] [--hex] [--version] [-h|--help] [FILE]\n"
          "Prints each TWL frame of FILE (or standard input) with its fields.\n"
          "  --escaped  strings in ASCII with escapes instead of UTF-8\n"
          "  --hex      every frame's bytes in hex, too\n",
          to);
    return 2;
}

static int write_failed(void)
{
    fprintf(stderr, "twl-dump: write error: %s\n", strerror(errno));
    return 2;
}

/* Exit status 0 once standard output is written out, 2 when it cannot be. */
static int written(void)
{
    return fflush(stdout) != 0 || ferror(stdout) ? write_failed() : 0;
}

int main(int argc, char **argv)
{
    static dump d;
    static unsigned char buf[2048];
    const char *path = 0;
    FILE *in = stdin;
    twlc_reader reader;
    twlc_event ev;
    unsigned long total = 0, len;
    const unsigned char *at;
    int k, kind;

    for (k = 1; k < argc; ++k) {
        if (strcmp(argv[k], "--hex") == 0) {
            d.hex = 1;
        } else if (strcmp(argv[k], "--escaped") == 0) {
            d.escaped = 1;
        } else if (strcmp(argv[k], "--version") == 0) {
            printf("twl-dump %s\n", TWR_VERSION_STRING);
            return written();
        } else if (strcmp(argv[k], "--help") == 0 || strcmp(argv[k], "-h") == 0) {
            usage(stdout);
            return written();
        } else if (argv[k][0] == '-' && argv[k][1] != '\0') {
            fprintf(stderr, "twl-dump: unknown option %s\n", argv[k]);
            return usage(stderr);
        } else if (path != 0) {
            fprintf(stderr, "twl-dump: one FILE at most, not %s too\n", argv[k]);
            return usage(stderr);
        } else {
            path = argv[k];
        }
    }
    if (path != 0 && strcmp(path, "-") != 0) {
        in = fopen(path, "rb");
        if (in == 0) {
            fprintf(stderr, "twl-dump: %s: %s\n", path, strerror(errno));
            return 2;
        }
    }

    twlc_init(&reader);
    for (;;) {
        len = (unsigned long)fread(buf, 1, sizeof buf, in);
        if (len == 0) break;
        total += len;
        at = buf;
        do {
            const unsigned char *before = at;
            kind = twlc_next(&reader, &at, &len, &ev);
            keep(&d, before, (unsigned long)(at - before));
            if (kind != TWLC_EV_NEED) on_event(&d, &ev);
        } while (kind != TWLC_EV_NEED);
        /* Frames show up as they arrive when the input is a live connection. */
        if (fflush(stdout) != 0) return write_failed();
    }
    if (ferror(in)) {
        fprintf(stderr, "twl-dump: read error: %s\n", strerror(errno));
        return 2;
    }
    while (twlc_finish(&reader, &ev) != TWLC_EV_NEED) on_event(&d, &ev);
    printf("total: bytes=%lu frames=%lu malformed=%lu skipped=%lu\n", total, d.frames, d.malformed, d.skipped);
    free(d.frame);
    if (written() != 0) return 2;
    return d.skipped != 0 || d.malformed != 0 || d.cut ? 1 : 0;
}
