/* The TWL message layouts as data: every message type and every record it
 * carries, field by field in wire order. This is the one description of the
 * wire that the readers, the dump tool, the Wireshark dissector and the
 * protocol document are made from; the data is in relay/twl_layout.c.
 * Plain C89 with no other header, so that a client on any compiler can
 * take its tables from here. The tables are constant: any thread may read
 * them at any time. */
#ifndef RELAY_TWL_LAYOUT_H
#define RELAY_TWL_LAYOUT_H

/* Field kinds. Integers are big-endian. */
#define TWL_F_END 0
#define TWL_F_U8 1
#define TWL_F_U16 2
#define TWL_F_U32 3
#define TWL_F_I16 4
#define TWL_F_FLAGS 5   /* u8; arg holds the bits a builder may set */
#define TWL_F_FIXED 6   /* u8 that always holds arg; no field of its own */
#define TWL_F_STR 7     /* u16 length n, then n bytes: n at most max, no byte 0 */
#define TWL_F_COUNT8 8  /* u8 number of entries in the ENTRIES field right after it */
#define TWL_F_COUNT16 9 /* the same as a u16 */
#define TWL_F_ENTRIES 10 /* that many records of layout twl_records[arg] */
#define TWL_F_RECORD 11 /* one record of layout twl_records[arg] */
#define TWL_F_LEN32 12  /* u32 length of the BYTES field right after it */
#define TWL_F_BYTES 13  /* that many bytes, which end the payload */
#define TWL_F_IF 14     /* the next max fields are there only when the record's
                         * FLAGS field has bit arg */

/* The bytes each kind takes on the wire before its text or entries, indexed
 * by kind: an initializer for a reader's own table. */
#define TWL_FIELD_WIDTHS {0, 1, 2, 4, 2, 1, 1, 2, 1, 2, 0, 0, 4, 0, 0}

typedef struct twl_field_t {
    unsigned char kind;
    unsigned char arg;
    unsigned short max;
    const char *name;
} twl_field_t;

typedef struct twl_layout_t {
    unsigned char type;     /* the message type; 0 for a record */
    const char *name;       /* "HANDSHAKE_ACK", or the record's name */
    unsigned long max_size; /* the largest payload a builder writes */
    const twl_field_t *fields; /* ends with TWL_F_END */
} twl_layout_t;

#define TWL_REC_MESSAGE 0
#define TWL_REC_GUILD 1
#define TWL_REC_MEMBER 2
#define TWL_REC_DM 3
#define TWL_REC_CHANNEL 4
#define TWL_REC_VOICE_MEMBER 5

/* The largest payload a frame may carry. */
#define TWL_MAX_PAYLOAD 2097152UL

#define TWL_MESSAGE_COUNT 21
#define TWL_RECORD_COUNT 6

#ifdef __cplusplus
extern "C" {
#endif

/* Every message type, in the order of their codes (0x81 to 0x96, without
 * 0x8A), and the records they carry, indexed by TWL_REC_*. */
extern const twl_layout_t twl_messages[TWL_MESSAGE_COUNT];
extern const twl_layout_t twl_records[TWL_RECORD_COUNT];

#ifdef __cplusplus
}
#endif

#endif
