/* The TWL message layouts as data: every message type and every record it
 * carries, field by field in wire order, expanded from the lists of
 * twl_wire.h; the tables are in twl_layout.c. The readers and the dump tool
 * walk them.
 * Plain C89 with no other header, so that a client on any compiler can
 * take its tables from here. The tables are constant: any thread may read
 * them at any time. */
#ifndef RELAY_TWL_LAYOUT_H
#define RELAY_TWL_LAYOUT_H

#include "twl_wire.h"

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

/* Message type codes: TWL_MSG_GUILD_LIST and so on. */
#define TWL_MSG_CODE_(NAME, code, cap) TWL_MSG_##NAME = code,
enum twl_msg_code { TWL_MESSAGES(TWL_MSG_CODE_) TWL_MSG_NONE = 0 };

/* Record numbers, the index of each record in twl_records. */
#define TWL_REC_NUMBER_(NAME, name) TWL_REC_##NAME,
enum twl_rec_number { TWL_RECORDS(TWL_REC_NUMBER_) TWL_RECORD_COUNT };

/* A number for each field of each layout, unique across all of them, from 1
 * (0 is no field): TWL_FLD_GUILD_NAME, TWL_FLD_MESSAGE_CREATE_ID. */
#define TWL_FLD_NUMBER_(L, KIND, NAME, name, arg, max) TWL_FLD_##L##_##NAME,
#define TWL_FLD_MESSAGE_(NAME, code, cap) TWL_FIELDS_##NAME(TWL_FLD_NUMBER_, NAME)
#define TWL_FLD_RECORD_(NAME, name) TWL_FIELDS_##NAME(TWL_FLD_NUMBER_, NAME)
enum twl_fld_number { TWL_FLD_NONE, TWL_RECORDS(TWL_FLD_RECORD_) TWL_MESSAGES(TWL_FLD_MESSAGE_) TWL_FLD_COUNT };
/* Field numbers fit the unsigned char of twl_field_t. */
typedef char twl_fld_numbers_fit_[TWL_FLD_COUNT <= 256 ? 1 : -1];

/* The maximum of each field, as its max column gives it: the longest a
 * string may be, TWL_MAX_GUILD_NAME and so on. */
#define TWL_FLD_MAX_(L, KIND, NAME, name, arg, max) TWL_MAX_##L##_##NAME = max,
#define TWL_MAX_MESSAGE_(NAME, code, cap) TWL_FIELDS_##NAME(TWL_FLD_MAX_, NAME)
#define TWL_MAX_RECORD_(NAME, name) TWL_FIELDS_##NAME(TWL_FLD_MAX_, NAME)
enum twl_fld_max { TWL_RECORDS(TWL_MAX_RECORD_) TWL_MESSAGES(TWL_MAX_MESSAGE_) TWL_MAX_NONE = 0 };

#define TWL_ONE_(NAME, code, cap) +1
#define TWL_MESSAGE_COUNT (0 TWL_MESSAGES(TWL_ONE_))

/* The largest size of each kind of field, as a term of a sum. A count and
 * its entries make one product: a COUNT term ends in "*", the ENTRIES term
 * after it is the record's largest size. */
#define TWL_W_(L, KIND, NAME, name, arg, max) TWL_W_##KIND(arg, max)
#define TWL_W_U8(arg, max) +1
#define TWL_W_U16(arg, max) +2
#define TWL_W_U32(arg, max) +4
#define TWL_W_I16(arg, max) +2
#define TWL_W_FLAGS(arg, max) +1
#define TWL_W_FIXED(arg, max) +1
#define TWL_W_STR(arg, max) +2 + (max)
#define TWL_W_COUNT8(arg, max) +1 + 0xFFUL *
#define TWL_W_COUNT16(arg, max) +2 + 0xFFFFUL *
#define TWL_W_ENTRIES(arg, max) TWL_RECORD_MAX_##arg
#define TWL_W_RECORD(arg, max) +TWL_RECORD_MAX_##arg
#define TWL_W_LEN32(arg, max) +4
#define TWL_W_BYTES(arg, max) +TWL_MAX_PAYLOAD
#define TWL_W_IF(arg, max)

/* The largest size of each record: TWL_RECORD_MAX_MESSAGE and so on. */
#define TWL_RECORD_MAX_(NAME, name) TWL_RECORD_MAX_##NAME = (0 TWL_FIELDS_##NAME(TWL_W_, NAME)),
enum twl_record_max { TWL_RECORDS(TWL_RECORD_MAX_) TWL_RECORD_MAX_NONE = 0 };

/* The largest payload of a message type: its fields at their maxima, or its
 * cap when that is smaller. An integer constant expression, unsigned long. */
#define TWL_PAYLOAD_MAX(NAME, cap) \
    ((0UL TWL_FIELDS_##NAME(TWL_W_, NAME)) < (cap) ? (0UL TWL_FIELDS_##NAME(TWL_W_, NAME)) : (cap))

/* TWL_STRING_MAX, the largest maximum of any string field, for a reader's
 * text buffer: the size of a union with one array per string field. */
#define TWL_S_(L, KIND, NAME, name, arg, max) TWL_S_##KIND(L##_##NAME, max)
#define TWL_S_U8(member, max)
#define TWL_S_U16(member, max)
#define TWL_S_U32(member, max)
#define TWL_S_I16(member, max)
#define TWL_S_FLAGS(member, max)
#define TWL_S_FIXED(member, max)
#define TWL_S_STR(member, max) char member[max];
#define TWL_S_COUNT8(member, max)
#define TWL_S_COUNT16(member, max)
#define TWL_S_ENTRIES(member, max)
#define TWL_S_RECORD(member, max)
#define TWL_S_LEN32(member, max)
#define TWL_S_BYTES(member, max)
#define TWL_S_IF(member, max)
#define TWL_S_MESSAGE_(NAME, code, cap) TWL_FIELDS_##NAME(TWL_S_, NAME)
#define TWL_S_RECORD_(NAME, name) TWL_FIELDS_##NAME(TWL_S_, NAME)
union twl_string_fields_ { char none_; TWL_RECORDS(TWL_S_RECORD_) TWL_MESSAGES(TWL_S_MESSAGE_) };
#define TWL_STRING_MAX (sizeof(union twl_string_fields_))

typedef struct twl_field_t {
    unsigned char kind;
    unsigned char arg;
    unsigned short max;
    const char *name;
    unsigned char num; /* TWL_FLD_* */
} twl_field_t;

typedef struct twl_layout_t {
    unsigned char type;     /* the message type; 0 for a record */
    const char *name;       /* "HANDSHAKE_ACK", or the record's name */
    unsigned long max_size; /* the largest payload a builder writes */
    const twl_field_t *fields; /* ends with TWL_F_END */
} twl_layout_t;

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
