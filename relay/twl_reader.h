/* Reading TWL: a frame reader for byte streams and one payload parser per
 * message type.
 *
 * The reader works over a buffer that the caller owns and never allocates.
 * Bytes are fed in chunks of any size; each complete frame is handed out as
 * its type and a pointer to its payload inside that buffer. A header that is
 * rejected (wrong magic, wrong version, payload over TWR_MSG_MAX_PAYLOAD, or
 * a frame longer than the buffer) costs one byte: the reader then scans for
 * the next "TRWK" and counts every byte it discarded.
 *
 * The parsers turn a payload into a view record. A view copies no text: its
 * strings are pointer and length into the payload, so it lives no longer
 * than the payload it was parsed from. A parser accepts exactly the payloads
 * that the builders of relay/twl.h can produce: every count matches the
 * entries present, every string stays within the payload and within its
 * field's maximum, the fixed bytes hold their one value, no byte is left
 * over. Anything else is TWR_ERR_PROTO, with the output left untouched.
 * Lists are validated whole by their parser and then walked with a cursor.
 *
 * Threads: a reader or a cursor is used by one thread at a time; distinct
 * ones, and the parsers, which keep no state, may run in any number of
 * threads at once. Several threads may parse one payload at once. */
#ifndef RELAY_TWL_READER_H
#define RELAY_TWL_READER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "relay/twl.h"
#include "relay/twr_common.h"

/* A reader buffer of this size takes every frame the header reader accepts. */
#define TWR_READER_BUFFER_SIZE (TWR_MSG_HEADER_SIZE + TWR_MSG_MAX_PAYLOAD)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Frame reader ---- */

/* Caller-owned reader state. Read it through the functions below. */
typedef struct twl_reader_t {
    uint8_t *buf;
    size_t cap;
    size_t start;     /* buf[start..end) holds bytes not yet handed out */
    size_t end;
    uint64_t offset;  /* stream offset of buf[start] */
    uint64_t skipped; /* bytes discarded since the last frame handed out */
} twl_reader_t;

/* One frame handed out by twl_reader_next. The payload points into the
 * reader's buffer and stays valid until the next twl_reader_feed,
 * twl_reader_space or twl_reader_init on that reader. */
typedef struct twl_frame_t {
    uint8_t type;
    uint32_t payload_len;
    const uint8_t *payload; /* never null, even for an empty payload */
    uint64_t offset;        /* stream offset of the frame's first byte */
    uint64_t skipped;       /* bytes discarded right before this frame */
} twl_frame_t;

/* Starts reading a new stream over buf[0..cap). Frames longer than cap are
 * rejected like an over-limit header; TWR_READER_BUFFER_SIZE takes them all.
 * Returns TWR_OK, or TWR_ERR_NOMEM (reader untouched) when buf is null or
 * cap is below TWR_MSG_HEADER_SIZE. The buffer stays the caller's. */
int twl_reader_init(twl_reader_t *reader, uint8_t *buf, size_t cap);

/* Copies as many of the len bytes as the buffer can take and returns that
 * number; call twl_reader_next until it returns false before feeding the
 * rest. Moves unread bytes to the front of the buffer when needed, which
 * ends the life of payloads handed out before. data may be null when len
 * is 0. */
size_t twl_reader_feed(twl_reader_t *reader, const uint8_t *data, size_t len);

/* For reading straight into the buffer: returns where the next bytes go and
 * stores in *room how many fit. A room of 0 means the buffer is full and
 * twl_reader_next has a frame to hand out or bytes to discard. Like
 * twl_reader_feed it may move unread bytes. Write at most *room bytes
 * there, then call twl_reader_commit. */
uint8_t *twl_reader_space(twl_reader_t *reader, size_t *room);
/* Adds n bytes written at twl_reader_space's pointer; n above the room that
 * call reported is cut to it. */
void twl_reader_commit(twl_reader_t *reader, size_t n);

/* Hands out the next complete frame: returns true and fills *frame, or
 * returns false (frame untouched) when more bytes are needed. Rejected
 * headers and the bytes before the next magic are discarded on the way. */
bool twl_reader_next(twl_reader_t *reader, twl_frame_t *frame);

/* Bytes held that are not yet handed out: the start of an incomplete frame.
 * Non-zero at the end of a stream means it ended inside a frame. */
size_t twl_reader_pending(const twl_reader_t *reader);
/* Bytes discarded since the last frame was handed out. */
uint64_t twl_reader_skipped(const twl_reader_t *reader);
/* Stream offset of the first pending byte (everything before it has been
 * handed out or discarded). */
uint64_t twl_reader_offset(const twl_reader_t *reader);

/* "GUILD_LIST" for TWR_MSG_GUILD_LIST and so on; NULL for a type this
 * module does not define. The text is static. */
const char *twl_msg_type_name(uint8_t type);

/* ---- Payload views ---- */

/* A string field: len bytes at ptr, no terminator. ptr is never null after
 * a successful parse. */
typedef struct twl_str_t {
    const uint8_t *ptr;
    uint16_t len;
} twl_str_t;

typedef struct twl_handshake_ack_view_t {
    uint8_t value_a;
    uint8_t value_b;
    twl_str_t text; /* at most TWL_MAX_HANDSHAKE_ACK_TEXT bytes */
} twl_handshake_ack_view_t;

typedef struct twl_auth_result_view_t {
    uint8_t result;
    twl_str_t text_a; /* at most TWL_MAX_AUTH_RESULT_TEXT_A bytes */
    twl_str_t text_b; /* at most TWL_MAX_AUTH_RESULT_TEXT_B bytes */
    uint16_t value;
} twl_auth_result_view_t;

typedef struct twl_status_view_t {
    uint8_t value_a;
    uint8_t value_b;
    twl_str_t text; /* at most TWL_MAX_STATUS_TEXT bytes */
} twl_status_view_t;

typedef struct twl_error_view_t {
    uint8_t value_a;
    uint16_t value_b;
    twl_str_t text; /* at most TWL_MAX_ERROR_TEXT bytes */
} twl_error_view_t;

/* One message record. Without TWR_MSG_FLAG_ITEM, item_id is 0 and item_name
 * empty; without TWR_MSG_FLAG_TRAILER, both trailer strings are empty. */
typedef struct twl_message_view_t {
    uint16_t id;
    uint16_t id_b;
    uint32_t value32;
    uint8_t flags;
    uint16_t value16;
    twl_str_t name; /* at most TWL_MAX_MESSAGE_NAME bytes */
    twl_str_t text; /* at most TWL_MAX_MESSAGE_TEXT bytes */
    uint16_t item_id;
    twl_str_t item_name; /* at most TWL_MAX_MESSAGE_ITEM_NAME bytes */
    uint16_t value16_b;
    twl_str_t trailer_name; /* at most TWL_MAX_MESSAGE_TRAILER_NAME bytes */
    twl_str_t trailer_text; /* at most TWL_MAX_MESSAGE_TRAILER_TEXT bytes */
} twl_message_view_t;

typedef struct twl_message_create_view_t {
    uint16_t id;
    twl_message_view_t message;
} twl_message_create_view_t;

typedef struct twl_message_delete_view_t {
    uint16_t id_a;
    uint16_t id_b;
} twl_message_delete_view_t;

typedef struct twl_message_update_view_t {
    uint16_t id_a;
    uint16_t id_b;
    twl_str_t text; /* at most TWL_MAX_MESSAGE_UPDATE_TEXT bytes */
} twl_message_update_view_t;

typedef struct twl_typing_start_view_t {
    uint16_t id;
    twl_str_t name; /* at most TWL_MAX_TYPING_START_NAME bytes */
} twl_typing_start_view_t;

typedef struct twl_unread_update_view_t {
    uint16_t id;
    uint8_t value8;
    uint16_t value16;
} twl_unread_update_view_t;

typedef struct twl_image_data_view_t {
    uint16_t id;
    uint8_t value8_a;
    uint8_t value8_b;
    uint8_t value8_c;
    uint16_t value16_a;
    uint16_t value16_b;
    uint16_t value16_c;
    uint32_t data_len;
    const uint8_t *data; /* data_len bytes inside the payload */
} twl_image_data_view_t;

typedef struct twl_voice_status_view_t {
    uint8_t value8;
    uint16_t id;
    twl_str_t name; /* at most TWL_MAX_VOICE_STATUS_NAME bytes */
} twl_voice_status_view_t;

typedef struct twl_voice_speaking_view_t {
    uint16_t id;
    uint8_t value8;
} twl_voice_speaking_view_t;

typedef struct twl_voice_error_view_t {
    uint8_t value8;
    twl_str_t text; /* at most TWL_MAX_VOICE_ERROR_TEXT bytes */
} twl_voice_error_view_t;

/* List entries; every name is at most TWL_MAX_GUILD_NAME, TWL_MAX_DM_NAME
 * and so on. The guild and member entries carry value8 before value16 on the
 * wire, the DM entry the other way round. */
typedef struct twl_guild_view_t {
    uint16_t id;
    twl_str_t name;
    uint8_t value8;
    uint16_t value16;
} twl_guild_view_t;

typedef struct twl_member_view_t {
    uint16_t id;
    twl_str_t name;
    uint8_t value8;
    uint16_t value16;
} twl_member_view_t;

typedef struct twl_dm_view_t {
    uint16_t id;
    twl_str_t name;
    uint16_t value16;
    uint8_t value8;
} twl_dm_view_t;

typedef struct twl_channel_view_t {
    uint16_t id;
    uint8_t value8_a;
    twl_str_t name;
    uint8_t value8_b;
    uint16_t value16;
} twl_channel_view_t;

typedef struct twl_voice_member_view_t {
    uint16_t id;
    twl_str_t name;
    uint8_t value8;
} twl_voice_member_view_t;

/* A validated list and a cursor over its entries. id is the channel list's,
 * the batch's or the voice channel's ID (0 for the other lists); flags are
 * the batch flags (0 for the other lists). */
typedef struct twl_list_t {
    uint8_t type; /* the message type the list was parsed as */
    uint16_t id;
    uint8_t flags;
    uint16_t count;    /* entries in the list */
    uint16_t left;     /* entries not yet taken */
    const uint8_t *at; /* next entry */
    const uint8_t *end;
} twl_list_t;

/* ---- Parsers. Each takes a payload (may be null when len is 0) and its
 * length, and returns TWR_OK with the view filled, or TWR_ERR_PROTO with
 * the view untouched. The output pointer must not be null. ---- */

int twl_parse_handshake_ack(const uint8_t *payload, size_t len, twl_handshake_ack_view_t *out);
int twl_parse_auth_result(const uint8_t *payload, size_t len, twl_auth_result_view_t *out);
int twl_parse_status(const uint8_t *payload, size_t len, twl_status_view_t *out);
int twl_parse_error(const uint8_t *payload, size_t len, twl_error_view_t *out);
int twl_parse_gateway_state(const uint8_t *payload, size_t len, uint8_t *out_state);
/* The pong carries nothing: TWR_OK for an empty payload only. */
int twl_parse_pong(const uint8_t *payload, size_t len);

int twl_parse_message_create(const uint8_t *payload, size_t len, twl_message_create_view_t *out);
int twl_parse_message_delete(const uint8_t *payload, size_t len, twl_message_delete_view_t *out);
int twl_parse_message_update(const uint8_t *payload, size_t len, twl_message_update_view_t *out);
int twl_parse_typing_start(const uint8_t *payload, size_t len, twl_typing_start_view_t *out);
int twl_parse_unread_update(const uint8_t *payload, size_t len, twl_unread_update_view_t *out);

int twl_parse_image_data(const uint8_t *payload, size_t len, twl_image_data_view_t *out);
int twl_parse_voice_status(const uint8_t *payload, size_t len, twl_voice_status_view_t *out);
int twl_parse_voice_speaking(const uint8_t *payload, size_t len, twl_voice_speaking_view_t *out);
int twl_parse_voice_error(const uint8_t *payload, size_t len, twl_voice_error_view_t *out);

/* List parsers: check every entry, then leave *out as a cursor on the
 * first. Batch flags other than TWR_BATCH_FLAG_A and TWR_BATCH_FLAG_B are
 * rejected. */
int twl_parse_guild_list(const uint8_t *payload, size_t len, twl_list_t *out);
int twl_parse_member_list(const uint8_t *payload, size_t len, twl_list_t *out);
int twl_parse_dm_list(const uint8_t *payload, size_t len, twl_list_t *out);
int twl_parse_channel_list(const uint8_t *payload, size_t len, twl_list_t *out);
int twl_parse_message_batch(const uint8_t *payload, size_t len, twl_list_t *out);
int twl_parse_voice_members(const uint8_t *payload, size_t len, twl_list_t *out);

/* Cursor steps: store the next entry and return true, or return false
 * (entry untouched) when the list is exhausted or was parsed as another
 * type. */
bool twl_list_next_guild(twl_list_t *list, twl_guild_view_t *out);
bool twl_list_next_member(twl_list_t *list, twl_member_view_t *out);
bool twl_list_next_dm(twl_list_t *list, twl_dm_view_t *out);
bool twl_list_next_channel(twl_list_t *list, twl_channel_view_t *out);
bool twl_list_next_message(twl_list_t *list, twl_message_view_t *out);
bool twl_list_next_voice_member(twl_list_t *list, twl_voice_member_view_t *out);

#ifdef __cplusplus
}
#endif

#endif
