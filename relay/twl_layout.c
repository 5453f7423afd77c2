/* The TWL message layouts, expanded from the lists of twl_wire.h; see
 * twl_layout.h. */
#include "twl_layout.h"

/* A field's arg: the record number for ENTRIES and RECORD, else as written. */
#define ARG_U8(arg) arg
#define ARG_U16(arg) arg
#define ARG_U32(arg) arg
#define ARG_I16(arg) arg
#define ARG_FLAGS(arg) arg
#define ARG_FIXED(arg) arg
#define ARG_STR(arg) arg
#define ARG_COUNT8(arg) arg
#define ARG_COUNT16(arg) arg
#define ARG_ENTRIES(arg) TWL_REC_##arg
#define ARG_RECORD(arg) TWL_REC_##arg
#define ARG_LEN32(arg) arg
#define ARG_BYTES(arg) arg
#define ARG_IF(arg) arg

#define ROW(L, KIND, NAME, name, arg, max) {TWL_F_##KIND, ARG_##KIND(arg), max, #name, TWL_FLD_##L##_##NAME},
#define END {TWL_F_END, 0, 0, 0, TWL_FLD_NONE}

#define FIELDS(NAME) static const twl_field_t fields_##NAME[] = {TWL_FIELDS_##NAME(ROW, NAME) END};
#define RECORD_FIELDS(NAME, name) FIELDS(NAME)
#define MESSAGE_FIELDS(NAME, code, cap) FIELDS(NAME)
TWL_RECORDS(RECORD_FIELDS)
TWL_MESSAGES(MESSAGE_FIELDS)

#define RECORD(NAME, name) {0, #name, TWL_RECORD_MAX_##NAME, fields_##NAME},
#define MESSAGE(NAME, code, cap) {code, #NAME, TWL_PAYLOAD_MAX(NAME, cap), fields_##NAME},
const twl_layout_t twl_records[TWL_RECORD_COUNT] = {TWL_RECORDS(RECORD)};
const twl_layout_t twl_messages[TWL_MESSAGE_COUNT] = {TWL_MESSAGES(MESSAGE)};
