/* TWL, the relay-to-client wire protocol.
 *
 * Every frame is a 10-byte header ("TRWK", version 1, message type, u32
 * payload length) followed by the payload. Multi-byte fields are big-endian.
 * Encoders and decoders work in caller buffers and never allocate; each
 * returns the number of bytes it wrote or consumed, 0 meaning nothing was
 * done and its outputs were left untouched. Builders hand back one malloc'd
 * frame that the caller releases with free(). No function keeps state, so
 * any of them may run in any number of threads at once on distinct buffers;
 * a frame may be freed by another thread than the one that built it. */
#ifndef RELAY_TWL_H
#define RELAY_TWL_H

#include <stddef.h>
#include <stdint.h>

#include "relay/twl_layout.h"
#include "relay/twr_common.h"

#define TWR_MSG_HEADER_SIZE TWL_HEADER_SIZE
#define TWR_PROTO_VERSION TWL_VERSION
/* Largest payload length that the header reader accepts (2 MiB). */
#define TWR_MSG_MAX_PAYLOAD TWL_MAX_PAYLOAD

/* Message types, relay to client. 0x8A is not assigned. */
#define TWR_MSG_HANDSHAKE_ACK TWL_MSG_HANDSHAKE_ACK
#define TWR_MSG_AUTH_RESULT TWL_MSG_AUTH_RESULT
#define TWR_MSG_GUILD_LIST TWL_MSG_GUILD_LIST
#define TWR_MSG_CHANNEL_LIST TWL_MSG_CHANNEL_LIST
#define TWR_MSG_MESSAGE_BATCH TWL_MSG_MESSAGE_BATCH
#define TWR_MSG_MESSAGE_CREATE TWL_MSG_MESSAGE_CREATE
#define TWR_MSG_MESSAGE_DELETE TWL_MSG_MESSAGE_DELETE
#define TWR_MSG_MESSAGE_UPDATE TWL_MSG_MESSAGE_UPDATE
#define TWR_MSG_TYPING_START TWL_MSG_TYPING_START
#define TWR_MSG_IMAGE_DATA TWL_MSG_IMAGE_DATA
#define TWR_MSG_STATUS TWL_MSG_STATUS
#define TWR_MSG_ERROR TWL_MSG_ERROR
#define TWR_MSG_UNREAD_UPDATE TWL_MSG_UNREAD_UPDATE
#define TWR_MSG_DM_LIST TWL_MSG_DM_LIST
#define TWR_MSG_MEMBER_LIST TWL_MSG_MEMBER_LIST
#define TWR_MSG_GATEWAY_STATE TWL_MSG_GATEWAY_STATE
#define TWR_MSG_PONG TWL_MSG_PONG
#define TWR_MSG_VOICE_STATUS TWL_MSG_VOICE_STATUS
#define TWR_MSG_VOICE_MEMBERS TWL_MSG_VOICE_MEMBERS
#define TWR_MSG_VOICE_SPEAKING TWL_MSG_VOICE_SPEAKING
#define TWR_MSG_VOICE_ERROR TWL_MSG_VOICE_ERROR

/* Message record flags (twl_message.flags) that switch optional blocks on. */
#define TWR_MSG_FLAG_ITEM TWL_MESSAGE_FLAG_ITEM       /* the item block: item_name, item_id */
#define TWR_MSG_FLAG_TRAILER TWL_MESSAGE_FLAG_TRAILER /* the trailer: trailer_name, trailer_text */
/* The flags byte of a message batch. */
#define TWR_BATCH_FLAG_A TWL_BATCH_FLAG_A
#define TWR_BATCH_FLAG_B TWL_BATCH_FLAG_B

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Field encoders: write at buf[0..cap). Return the width written, or 0
 * (nothing written) when cap is too small. ---- */

/* Returns 1, or 0 when cap is 0. */
size_t twl_encode_u8(uint8_t *buf, size_t cap, uint8_t v);
/* Returns 2, or 0 when cap < 2. */
size_t twl_encode_u16(uint8_t *buf, size_t cap, uint16_t v);
/* Returns 4, or 0 when cap < 4. */
size_t twl_encode_u32(uint8_t *buf, size_t cap, uint32_t v);
/* Writes the two's complement bit pattern as a u16. Returns 2, or 0 when cap < 2. */
size_t twl_encode_i16(uint8_t *buf, size_t cap, int16_t v);
/* Writes a u16 length n and the first n bytes of text, n = min(strlen(text),
 * max_len); a null text is the empty string and a max_len above 65535 counts
 * as 65535. Returns 2 + n, or 0 when cap < 2 + n. */
size_t twl_encode_string(uint8_t *buf, size_t cap, const char *text, size_t max_len);

/* ---- Field decoders: read src[0..avail). Return the bytes consumed, or 0
 * (output untouched) when too few bytes are available. ---- */

/* Returns 1, or 0 when avail is 0 (src is then not read and may be null). */
size_t twl_decode_u8(const uint8_t *src, size_t avail, uint8_t *out);
/* Returns 2, or 0 when avail < 2. */
size_t twl_decode_u16(const uint8_t *src, size_t avail, uint16_t *out);
/* Returns 4, or 0 when avail < 4. */
size_t twl_decode_u32(const uint8_t *src, size_t avail, uint32_t *out);
/* Returns 2, or 0 when avail < 2. */
size_t twl_decode_i16(const uint8_t *src, size_t avail, int16_t *out);
/* Reads a length-prefixed string of wire length w and copies min(w, out_cap - 1)
 * bytes of it into out, NUL-terminated. Stores w in *out_wire_len when that is
 * non-null. Returns 2 + w (the whole field, even when the copy was cut), or 0
 * with nothing written when the field runs past avail, out is null or out_cap is 0. */
size_t twl_decode_string(const uint8_t *src, size_t avail, char *out, size_t out_cap,
                         size_t *out_wire_len);

/* ---- Frame header ---- */

/* Writes the 10-byte header. Returns 10, or 0 when cap < 10. The payload
 * length is not checked against TWR_MSG_MAX_PAYLOAD. */
size_t twl_encode_header(uint8_t *buf, size_t cap, uint8_t msg_type, uint32_t payload_len);
/* Validates a header: at least 10 bytes, magic "TRWK", version 1, payload
 * length at most TWR_MSG_MAX_PAYLOAD. Returns TWR_OK or TWR_ERR_PROTO.
 * Outputs are untouched when the length, magic or version is wrong; type and
 * length are stored before the payload limit is checked. Whether the payload
 * itself is present is the caller's concern. */
int twl_decode_header(const uint8_t *src, size_t avail, uint8_t *out_type, uint32_t *out_payload_len);

/* ---- Frames ---- */

/* Builds header + copy of the payload in one malloc'd block and stores it in
 * *out_frame. Returns the frame length (payload_len + 10), or 0 with
 * *out_frame untouched when memory runs out, when payload is null with a
 * non-zero payload_len, or when payload_len does not fit the u32 length field. */
size_t twl_build_message(uint8_t **out_frame, uint8_t msg_type, const uint8_t *payload,
                         size_t payload_len);
/* The header-only pong frame. Stores 10 in *out_len and returns the frame, or
 * stores 0 and returns NULL when memory runs out. */
uint8_t *twl_build_pong(size_t *out_len);

/* ---- Typed builders ----
 *
 * Each builder writes one message type. It stores the frame length through
 * out_len (which must not be null) and returns the frame, one malloc'd block
 * that the caller releases with free(). On failure it stores 0 and returns
 * NULL: when memory runs out, when the payload would exceed
 * TWR_MSG_MAX_PAYLOAD (the header reader would refuse the frame), or when an
 * array or data pointer is null while its count or length is not 0.
 *
 * Strings are NUL-terminated bytes, already converted for the client; NULL
 * is sent as the empty string. Each string field has a maximum, given below
 * in bytes, and a longer string is cut to its first maximum bytes. Integers
 * are carried unchanged; their meaning belongs to the caller. Builders keep
 * no pointer to their arguments. */

/* Handshake acknowledgement (0x81): value_a, value_b, a reserved 0 byte,
 * text (at most TWL_MAX_HANDSHAKE_ACK_TEXT). */
uint8_t *twl_build_handshake_ack(size_t *out_len, uint8_t value_a, uint8_t value_b, const char *text);
/* Authentication result (0x82): result, text_a (at most
 * TWL_MAX_AUTH_RESULT_TEXT_A), text_b (at most TWL_MAX_AUTH_RESULT_TEXT_B), value. */
uint8_t *twl_build_auth_result(size_t *out_len, uint8_t result, const char *text_a, const char *text_b,
                               uint16_t value);
/* Status (0x8C): value_a, value_b, text (at most TWL_MAX_STATUS_TEXT). */
uint8_t *twl_build_status(size_t *out_len, uint8_t value_a, uint8_t value_b, const char *text);
/* Error (0x8D): value_a, value_b, text (at most TWL_MAX_ERROR_TEXT). */
uint8_t *twl_build_error(size_t *out_len, uint8_t value_a, uint16_t value_b, const char *text);
/* Upstream gateway state (0x91): the one byte state. */
uint8_t *twl_build_gateway_state(size_t *out_len, uint8_t state);

/* One chat message. On the wire a record is id, id_b, value32, flags,
 * value16, name, text, [1, item_name, 1, item_id], value16_b,
 * [trailer_name, trailer_text]: 17 to TWL_RECORD_MAX_MESSAGE (2212) bytes. The item block is written
 * when flags has TWR_MSG_FLAG_ITEM, which is added whenever item_name is
 * non-empty (a caller that sets it itself gets the block even with an empty
 * name). The trailer is written only when the caller sets
 * TWR_MSG_FLAG_TRAILER. Other flag bits are carried unchanged. */
typedef struct twl_message {
    uint16_t id;
    uint16_t id_b;
    uint32_t value32;
    uint8_t flags;
    uint16_t value16;
    const char *name;         /* at most TWL_MAX_MESSAGE_NAME */
    const char *text;         /* at most TWL_MAX_MESSAGE_TEXT */
    uint16_t item_id;
    const char *item_name;    /* at most TWL_MAX_MESSAGE_ITEM_NAME */
    uint16_t value16_b;
    const char *trailer_name; /* at most TWL_MAX_MESSAGE_TRAILER_NAME */
    const char *trailer_text; /* at most TWL_MAX_MESSAGE_TRAILER_TEXT */
} twl_message;

/* List entries. Every name is at most TWL_MAX_GUILD_NAME, TWL_MAX_DM_NAME
 * and so on. On the wire each entry's fields follow in declaration order: a
 * DM entry carries its word before its byte, unlike guild and member
 * entries. */
typedef struct twl_guild_entry {
    uint16_t id;
    const char *name;
    uint8_t value8;
    uint16_t value16;
} twl_guild_entry;
typedef struct twl_member_entry {
    uint16_t id;
    const char *name;
    uint8_t value8;
    uint16_t value16;
} twl_member_entry;
typedef struct twl_dm_entry {
    uint16_t id;
    const char *name;
    uint16_t value16;
    uint8_t value8;
} twl_dm_entry;
typedef struct twl_channel_entry {
    uint16_t id;
    uint8_t value8_a;
    const char *name;
    uint8_t value8_b;
    uint16_t value16;
} twl_channel_entry;
typedef struct twl_voice_member {
    uint16_t id;
    const char *name;
    uint8_t value8;
} twl_voice_member;

/* Lists: a u16 count (the channel list puts its id first), then the entries
 * in array order. entries may be NULL only when count is 0. A list over
 * TWR_MSG_MAX_PAYLOAD fails: that takes more than 55188 guild, member or DM
 * entries, or more than 53773 channel entries, all with 31-byte names. */
uint8_t *twl_build_guild_list(size_t *out_len, const twl_guild_entry *entries, uint16_t count);
uint8_t *twl_build_channel_list(size_t *out_len, uint16_t id, const twl_channel_entry *entries,
                                uint16_t count);
uint8_t *twl_build_dm_list(size_t *out_len, const twl_dm_entry *entries, uint16_t count);
uint8_t *twl_build_member_list(size_t *out_len, const twl_member_entry *entries, uint16_t count);

/* Message batch (0x85): id, batch flags (TWR_BATCH_FLAG_A when flag_a is
 * non-zero, TWR_BATCH_FLAG_B when flag_b is), the number of records written,
 * then the records. A batch payload stays within 64 KiB: records are written
 * whole, in array order, until the next one would not fit, and the count
 * field holds how many were written, which can be fewer than count. Any 29
 * records always fit, as a record takes at most 2212 bytes. messages may be
 * NULL only when count is 0. */
uint8_t *twl_build_message_batch(size_t *out_len, uint16_t id, const twl_message *messages, uint16_t count,
                                 int flag_a, int flag_b);
/* Returns how many leading records of messages[0..count) one message batch
 * holds whole: the number twl_build_message_batch writes for them, at most
 * 65535 (the count field's limit); 0 when messages is NULL. It is at least 1
 * whenever count is not 0, since any single record fits.
 *
 * A longer history goes out as several batches without losing a record:
 *
 *     while (count > 0) {
 *         size_t n = twl_fit_message_batch(messages, count);
 *         uint8_t *frame = twl_build_message_batch(&len, id, messages, (uint16_t)n, a, b);
 *         if (frame == NULL) break;   // out of memory: the rest is not sent
 *         send frame[0..len), then free(frame);
 *         messages += n;
 *         count -= n;
 *     }
 *
 * Each frame then carries exactly n records, and every record goes in one. */
size_t twl_fit_message_batch(const twl_message *messages, size_t count);
/* Message create (0x86): id, then the one record, always whole. Fails when
 * message is NULL. */
uint8_t *twl_build_message_create(size_t *out_len, uint16_t id, const twl_message *message);
/* Message delete (0x87): id_a, id_b. */
uint8_t *twl_build_message_delete(size_t *out_len, uint16_t id_a, uint16_t id_b);
/* Message update (0x88): id_a, id_b, text (at most TWL_MAX_MESSAGE_UPDATE_TEXT). */
uint8_t *twl_build_message_update(size_t *out_len, uint16_t id_a, uint16_t id_b, const char *text);
/* Typing start (0x89): id, name (at most TWL_MAX_TYPING_START_NAME). */
uint8_t *twl_build_typing_start(size_t *out_len, uint16_t id, const char *name);
/* Unread update (0x8E): id, value8, value16. */
uint8_t *twl_build_unread_update(size_t *out_len, uint16_t id, uint8_t value8, uint16_t value16);

/* Image data (0x8B): id, value8_a, value8_b, value8_c, value16_a, value16_b,
 * value16_c, data_len as u32, then the data bytes unchanged. data may be
 * NULL only when data_len is 0; data_len above 2097137 fails, as its payload
 * would pass TWR_MSG_MAX_PAYLOAD. */
uint8_t *twl_build_image_data(size_t *out_len, uint16_t id, uint8_t value8_a, uint8_t value8_b,
                              uint8_t value8_c, uint16_t value16_a, uint16_t value16_b, uint16_t value16_c,
                              const uint8_t *data, uint32_t data_len);
/* Voice status (0x93): value8, id, name (at most TWL_MAX_VOICE_STATUS_NAME). */
uint8_t *twl_build_voice_status(size_t *out_len, uint8_t value8, uint16_t id, const char *name);
/* Voice members (0x94): id, a one-byte count, then the members in array
 * order; the count's width holds a frame to 255 members. members may be NULL
 * only when count is 0. */
uint8_t *twl_build_voice_members(size_t *out_len, uint16_t id, const twl_voice_member *members,
                                 uint8_t count);
/* Voice speaking (0x95): id, value8. */
uint8_t *twl_build_voice_speaking(size_t *out_len, uint16_t id, uint8_t value8);
/* Voice error (0x96): value8, text (at most TWL_MAX_VOICE_ERROR_TEXT). */
uint8_t *twl_build_voice_error(size_t *out_len, uint8_t value8, const char *text);

#ifdef __cplusplus
}
#endif

#endif
