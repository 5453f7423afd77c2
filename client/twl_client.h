/* Reading TWL on the client: a streaming reader in strict C89.
 *
 * Feed it the bytes of the connection in chunks of any size; it hands out
 * one event at a time: a frame's header, each field as it completes, the
 * start and end of each list entry and record, the pieces of strings and
 * of byte data, and the end of the frame. It never allocates and keeps no
 * pointer into a chunk beyond the event that names it, so a client needs
 * only this record and its own read buffer. Strings and byte data come as
 * pieces pointing into the chunk being read, so a 2 MiB image or a
 * 55,188-entry list never has to be held.
 *
 * Framing follows the relay's reader: a header with the wrong magic, a
 * version other than 1 or a payload over 2 MiB costs one byte, and the
 * reader scans on for the next "TRWK", counting what it discards. Payloads
 * are held to what the relay's builders can write, exactly as the relay's
 * own parsers hold them: a string within its field's maximum and without a
 * 0 byte, fixed bytes at their value, known flag bits only, counts that
 * match the entries, nothing left over. Anything else ends the frame's
 * fields with a TWLC_EV_FAULT event; the rest of the payload follows as
 * raw bytes.
 *
 * Every wire length and offset is an unsigned long, and no call takes more
 * than TWLC_PIECE_MAX bytes of a chunk, so the reader works the same with a
 * 16-bit int. The files twl_client.h, twl_client.c and the wire's files
 * (twl_layout.h, twl_layout.c, twl_wire.h) name each other by bare file
 * name: copied into one folder they build with no include path. */
#ifndef TWL_CLIENT_H
#define TWL_CLIENT_H

#include "twl_layout.h"

/* Events, the result of twlc_next and twlc_finish. */
#define TWLC_EV_NEED 0   /* every byte of the chunk is used: feed the next one */
#define TWLC_EV_SKIP 1   /* value bytes at stream offset `offset` were discarded */
#define TWLC_EV_FRAME 2  /* a header: type, value = payload length, offset, name
                          * ("STATUS"; 0 for a type this reader does not know) */
#define TWLC_EV_INT 3    /* an integer field: field, name, field_kind, value */
#define TWLC_EV_TEXT 4   /* a piece of a string: field, name, data, size,
                          * value = the string's whole length, more = bytes
                          * still to come (0 on the last piece; an empty
                          * string comes as one empty piece) */
#define TWLC_EV_BYTES 5  /* a piece of byte data (an image), as TWLC_EV_TEXT */
#define TWLC_EV_ENTRY 6  /* list entry number `value` begins: field and name of
                          * the list ("guild") */
#define TWLC_EV_ENTRY_END 7  /* that entry is complete, with the same field,
                              * name, value and depth */
#define TWLC_EV_RECORD 8     /* a record begins: field and name ("message") */
#define TWLC_EV_RECORD_END 9 /* that record is complete */
#define TWLC_EV_FAULT 10 /* the payload breaks the layout at payload byte
                          * `offset`: reason, and field and name of the field
                          * at fault (0 for the payload as a whole). It closes
                          * every open entry and record; raw pieces follow */
#define TWLC_EV_RAW 11   /* payload bytes not read as fields: data, size,
                          * offset (payload offset of data[0]) */
#define TWLC_EV_END 12   /* the frame is complete; value is 1 when every field
                          * was read, 0 after a fault or for an unknown type */
#define TWLC_EV_CUT 13   /* from twlc_finish: the stream ended inside the frame
                          * at stream offset `offset`, after value bytes of
                          * it; it too closes every open entry and record */

/* Reasons of a TWLC_EV_FAULT. */
#define TWLC_BAD_SHORT 1       /* the payload ends inside a field */
#define TWLC_BAD_LONG_STRING 2 /* a string's length passes its field's maximum */
#define TWLC_BAD_NUL 3         /* a 0 byte inside a string */
#define TWLC_BAD_FIXED_BYTE 4  /* a fixed byte without its one value */
#define TWLC_BAD_FLAG_BITS 5   /* flag bits that no builder sets */
#define TWLC_BAD_DATA_LENGTH 6 /* a byte field's length is not what follows */
#define TWLC_BAD_LEFT_OVER 7   /* bytes after the last field */
#define TWLC_BAD_TOO_LONG 8    /* a payload longer than its type allows */

/* The most bytes one call takes from a chunk: a pointer moved further in
 * one step loses the excess where int and pointer offsets are 16 bits. */
#define TWLC_PIECE_MAX 32767

typedef struct twlc_event {
    int event;                 /* TWLC_EV_INT, TWLC_EV_TEXT, ... */
    unsigned char field;       /* the field's number, TWL_FLD_...; 0 for none */
    unsigned char field_kind;  /* TWL_F_U16, TWL_F_STR, ... */
    unsigned char type;        /* the frame's message type, TWL_MSG_... */
    unsigned char depth;       /* 0 for a payload's own fields, 1 inside an entry or record */
    int reason;                /* TWLC_EV_FAULT: TWLC_BAD_... */
    const char *name;          /* the field's name, for people */
    unsigned long value;
    unsigned long more;
    unsigned long offset;
    const unsigned char *data; /* TEXT, BYTES and RAW; valid until the next call */
    unsigned long size;
} twlc_event;

/* One level of the layout walk: a payload, or an entry or record in it. */
typedef struct twlc_level {
    const twl_field_t *field; /* the next field of the layout */
    unsigned long left;       /* entries still to come at the list field */
    unsigned char flags;      /* the level's flag field, for its optional blocks */
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
    const twl_layout_t *layout;
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
 * next event, stores it in *ev and returns its kind; returns TWLC_EV_NEED
 * when the chunk is used up. Call it until TWLC_EV_NEED before reading
 * more. */
int twlc_next(twlc_reader *r, const unsigned char **data, unsigned long *len, twlc_event *ev);

/* At the end of the stream: returns TWLC_EV_SKIP for bytes discarded at its
 * end, then TWLC_EV_CUT when it ended inside a frame, then TWLC_EV_NEED.
 * Call it until TWLC_EV_NEED; the reader then starts a new stream. */
int twlc_finish(twlc_reader *r, twlc_event *ev);

/* Appends a TWLC_EV_TEXT (or TWLC_EV_BYTES) piece to the Pascal string p
 * (length byte, then the bytes) of cap bytes in all, as the Toolbox's Str31
 * (32) or Str255 (256) takes it: the first piece of a field starts it
 * afresh, and bytes beyond cap - 1, or beyond 255 in a larger buffer, are
 * left out. Returns 1 on the field's last piece, 0 before it. Every name in
 * the protocol fits a Str31, an item name a Str63. */
int twlc_pstring(unsigned char *p, unsigned int cap, const twlc_event *ev);

/* Gathers the pieces of a string or byte field into buf, cap bytes of any
 * size (a 2,000-byte text for TextEdit, a locked Handle for an image): the
 * first piece sets *len to 0, each piece appends and adds to *len, and
 * bytes beyond cap are left out. No terminator is written. Returns 1 on the
 * field's last piece, when buf holds the field (its first cap bytes), 0
 * before it. */
int twlc_gather(unsigned char *buf, unsigned long cap, unsigned long *len, const twlc_event *ev);

#ifdef __cplusplus
}
#endif

#endif
