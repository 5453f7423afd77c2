/* Reading TWL on the client: a streaming reader in strict C89.
 *
 * Feed it the bytes of the connection in chunks of any size; it hands out
 * one event at a time: a frame's header, each field as it completes, list
 * entries, the pieces of long fields, and the end of the frame. It never
 * allocates and keeps no pointer into a chunk beyond the event that names
 * it, so a client needs only this record and its own read buffer: the
 * reader's state is sizeof (twlc_reader), under 128 bytes on 68k and
 * PowerPC. Strings and byte fields come as pieces pointing into the chunk
 * being read, so a 2 MiB image or a 55,188-entry list never has to be held.
 *
 * Framing follows the relay's reader: a header with the wrong magic, a
 * version other than 1 or a payload over 2 MiB costs one byte, and the
 * reader scans on for the next "TRWK", counting what it discards. Payloads
 * are held to what the relay's builders can write, exactly as the relay's
 * own parsers hold them: a string within its field's maximum and without a
 * 0 byte, fixed bytes at their value, known flag bits only, counts that
 * match the entries, nothing left over. Anything else ends the frame's
 * fields with a TWLC_FAULT event; the rest of the payload follows as raw
 * bytes.
 *
 * Every wire length and offset is an unsigned long, so the reader works the
 * same with a 16-bit int. The field tables come from relay/twl_layout.h. */
#ifndef TWL_CLIENT_H
#define TWL_CLIENT_H

#include <limits.h>

/* Fixed-width types, chosen from <limits.h>; define them before including
 * this header to choose others. */
#ifndef TWLC_U8
#define TWLC_U8 unsigned char
#endif
#ifndef TWLC_U16
#if USHRT_MAX == 0xFFFF
#define TWLC_U16 unsigned short
#else
#define TWLC_U16 unsigned int
#endif
#endif
#ifndef TWLC_U32
#if UINT_MAX == 0xFFFFFFFF
#define TWLC_U32 unsigned int
#else
#define TWLC_U32 unsigned long
#endif
#endif
typedef TWLC_U8 twlc_u8;
typedef TWLC_U16 twlc_u16;
typedef TWLC_U32 twlc_u32;

/* Events, the result of twlc_next. */
#define TWLC_NEED 0   /* every byte of the chunk is used: feed the next one */
#define TWLC_SKIP 1   /* value bytes at stream offset `offset` were discarded */
#define TWLC_FRAME 2  /* a header: type, value = payload length, offset, name
                       * ("STATUS"; 0 for a type this reader does not know) */
#define TWLC_FIELD 3  /* an integer field: name, kind, value */
#define TWLC_TEXT 4   /* a piece of a string or byte field: name, kind, data,
                       * size, value = the field's whole length, more = bytes
                       * still to come (0 on the last piece; an empty field
                       * comes as one empty piece) */
#define TWLC_ENTRY 5  /* list entry number `value` begins: name ("guild") */
#define TWLC_RECORD 6 /* a record begins: name ("message") */
#define TWLC_FAULT 7  /* the payload breaks the layout at payload byte
                       * `offset`: reason, and name for the field at fault
                       * (0 for the payload as a whole); raw pieces follow */
#define TWLC_RAW 8    /* payload bytes not read as fields: data, size,
                       * offset (payload offset of data[0]) */
#define TWLC_END 9    /* the frame is complete; value is 1 when every field
                       * was read, 0 after a fault or for an unknown type */
#define TWLC_CUT 10   /* from twlc_finish: the stream ended inside the frame
                       * at stream offset `offset`, after value bytes of it */

/* Reasons of a TWLC_FAULT. */
#define TWLC_SHORT 1       /* the payload ends inside a field */
#define TWLC_LONG_STRING 2 /* a string's length passes its field's maximum */
#define TWLC_NUL 3         /* a 0 byte inside a string */
#define TWLC_FIXED_BYTE 4  /* a fixed byte without its one value */
#define TWLC_FLAG_BITS 5   /* flag bits that no builder sets */
#define TWLC_DATA_LENGTH 6 /* a byte field's length is not what follows */
#define TWLC_LEFT_OVER 7   /* bytes after the last field */
#define TWLC_TOO_LONG 8    /* a payload longer than its type allows */

typedef struct twlc_event {
    int kind;                  /* TWLC_FIELD, TWLC_TEXT, ... */
    int depth;                 /* 0 for a payload's own fields, 1 inside an entry or record */
    const char *name;
    unsigned char field;       /* TWL_F_U16, TWL_F_STR, ... of relay/twl_layout.h */
    unsigned char type;        /* the frame's message type */
    int reason;                /* TWLC_FAULT: TWLC_SHORT, ... */
    unsigned long value;
    unsigned long more;
    unsigned long offset;
    const unsigned char *data; /* TWLC_TEXT and TWLC_RAW; valid until the next call */
    unsigned long size;
} twlc_event;

/* One level of the layout walk: a payload, or an entry or record in it. */
typedef struct twlc_level {
    const void *field;  /* the next field of the layout */
    unsigned long left; /* entries still to come at the list field */
    unsigned char flags; /* the level's flag field, for its optional blocks */
} twlc_level;

typedef struct twlc_reader {
    unsigned long stream;   /* stream offset of the next byte to take */
    unsigned long skipped;  /* bytes discarded since the last frame */
    unsigned long length;   /* the frame's payload length */
    unsigned long at;       /* payload bytes taken */
    unsigned long left;     /* bytes of the current string or byte field to come */
    unsigned long count;    /* the last count read */
    unsigned long value;    /* the current integer or length */
    twlc_level level[2];
    const void *layout;
    unsigned char hold[10]; /* header bytes, or the current integer's bytes */
    unsigned char held;
    unsigned char state;
    unsigned char depth;
    unsigned char type;
} twlc_reader;

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a new stream. */
void twlc_init(twlc_reader *r);

/* Takes bytes from *data (advancing it and lowering *len) until it has the
 * next event, stores it in *ev and returns its kind; returns TWLC_NEED when
 * the chunk is used up. Call it until TWLC_NEED before reading more. */
int twlc_next(twlc_reader *r, const unsigned char **data, unsigned long *len, twlc_event *ev);

/* At the end of the stream: returns TWLC_SKIP for bytes discarded at its
 * end, then TWLC_CUT when it ended inside a frame, then TWLC_NEED. */
int twlc_finish(twlc_reader *r, twlc_event *ev);

/* Appends a TWLC_TEXT piece to the Pascal string p (length byte, then the
 * bytes) of cap bytes in all, as the Toolbox's Str31 (32) or Str63 (64)
 * takes it: the first piece of a field starts it afresh, and bytes beyond
 * cap - 1, or beyond 255 in a larger buffer, are left out. Every name in
 * the protocol fits a Str31, an item name a Str63. */
void twlc_pstring(unsigned char *p, unsigned int cap, const twlc_event *ev);

#ifdef __cplusplus
}
#endif

#endif
