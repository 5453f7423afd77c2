/* TWL, the relay-to-client wire protocol.
 *
 * Every frame is a 10-byte header ("TRWK", version 1, message type, u32
 * payload length) followed by the payload. Multi-byte fields are big-endian.
 * Encoders and decoders work in caller buffers and never allocate; each
 * returns the number of bytes it wrote or consumed, 0 meaning nothing was
 * done and its outputs were left untouched. Builders hand back one malloc'd
 * frame that the caller releases with free(). */
#ifndef RELAY_TWL_H
#define RELAY_TWL_H

#include <stddef.h>
#include <stdint.h>

#include "relay/twr_common.h"

#define TWR_MSG_HEADER_SIZE 10
#define TWR_PROTO_VERSION 1
/* Largest payload length that the header reader accepts (2 MiB). */
#define TWR_MSG_MAX_PAYLOAD 0x200000u

/* Message types, relay to client. 0x8A is not assigned. */
#define TWR_MSG_HANDSHAKE_ACK 0x81
#define TWR_MSG_AUTH_RESULT 0x82
#define TWR_MSG_GUILD_LIST 0x83
#define TWR_MSG_CHANNEL_LIST 0x84
#define TWR_MSG_MESSAGE_BATCH 0x85
#define TWR_MSG_MESSAGE_CREATE 0x86
#define TWR_MSG_MESSAGE_DELETE 0x87
#define TWR_MSG_MESSAGE_UPDATE 0x88
#define TWR_MSG_TYPING_START 0x89
#define TWR_MSG_IMAGE_DATA 0x8B
#define TWR_MSG_STATUS 0x8C
#define TWR_MSG_ERROR 0x8D
#define TWR_MSG_UNREAD_UPDATE 0x8E
#define TWR_MSG_DM_LIST 0x8F
#define TWR_MSG_MEMBER_LIST 0x90
#define TWR_MSG_GATEWAY_STATE 0x91
#define TWR_MSG_PONG 0x92
#define TWR_MSG_VOICE_STATUS 0x93
#define TWR_MSG_VOICE_MEMBERS 0x94
#define TWR_MSG_VOICE_SPEAKING 0x95
#define TWR_MSG_VOICE_ERROR 0x96

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

#ifdef __cplusplus
}
#endif

#endif
