/* The TWL wire, written once: the frame header, the flag bits, and every
 * message type and record with its fields in wire order. Everything else
 * that knows the wire is expanded from the lists here: the C89 tables and
 * constants of twl_layout.h, the relay's builders and parsers, and (through
 * the generator in tools/) the Wireshark dissector and the protocol document.
 * Plain C89 preprocessor text with no other header, so that a client on any
 * compiler can take it. */
#ifndef RELAY_TWL_WIRE_H
#define RELAY_TWL_WIRE_H

/* The frame header: magic, version, type (u8), payload length (u32). */
#define TWL_MAGIC "TRWK"
#define TWL_VERSION 1
#define TWL_HEADER_SIZE 10
/* The largest payload length a frame may announce (2 MiB). */
#define TWL_MAX_PAYLOAD 2097152UL
/* A message batch stays within 64 KiB, so that a client can hold one whole;
 * its count says how many records made it in. */
#define TWL_BATCH_MAX_PAYLOAD 65536UL

/* Flag bits. A message record's flags switch its optional blocks on; other
 * bits are carried unchanged. A batch has two flags and no other bit. */
#define TWL_MESSAGE_FLAG_ITEM 0x02
#define TWL_MESSAGE_FLAG_TRAILER 0x04
#define TWL_BATCH_FLAG_A 0x01
#define TWL_BATCH_FLAG_B 0x02

/* Every message type: M(NAME, code, cap), in the order of their codes. The
 * largest payload of a type is the sum of its fields at their maxima, or cap
 * when that is smaller. */
#define TWL_MESSAGES(M) \
    M(HANDSHAKE_ACK, 0x81, TWL_MAX_PAYLOAD) \
    M(AUTH_RESULT, 0x82, TWL_MAX_PAYLOAD) \
    M(GUILD_LIST, 0x83, TWL_MAX_PAYLOAD) \
    M(CHANNEL_LIST, 0x84, TWL_MAX_PAYLOAD) \
    M(MESSAGE_BATCH, 0x85, TWL_BATCH_MAX_PAYLOAD) \
    M(MESSAGE_CREATE, 0x86, TWL_MAX_PAYLOAD) \
    M(MESSAGE_DELETE, 0x87, TWL_MAX_PAYLOAD) \
    M(MESSAGE_UPDATE, 0x88, TWL_MAX_PAYLOAD) \
    M(TYPING_START, 0x89, TWL_MAX_PAYLOAD) \
    M(IMAGE_DATA, 0x8B, TWL_MAX_PAYLOAD) \
    M(STATUS, 0x8C, TWL_MAX_PAYLOAD) \
    M(ERROR, 0x8D, TWL_MAX_PAYLOAD) \
    M(UNREAD_UPDATE, 0x8E, TWL_MAX_PAYLOAD) \
    M(DM_LIST, 0x8F, TWL_MAX_PAYLOAD) \
    M(MEMBER_LIST, 0x90, TWL_MAX_PAYLOAD) \
    M(GATEWAY_STATE, 0x91, TWL_MAX_PAYLOAD) \
    M(PONG, 0x92, TWL_MAX_PAYLOAD) \
    M(VOICE_STATUS, 0x93, TWL_MAX_PAYLOAD) \
    M(VOICE_MEMBERS, 0x94, TWL_MAX_PAYLOAD) \
    M(VOICE_SPEAKING, 0x95, TWL_MAX_PAYLOAD) \
    M(VOICE_ERROR, 0x96, TWL_MAX_PAYLOAD)

/* The records that lists and messages carry: R(NAME, name). */
#define TWL_RECORDS(R) \
    R(MESSAGE, message) \
    R(GUILD, guild) \
    R(MEMBER, member) \
    R(DM, dm) \
    R(CHANNEL, channel) \
    R(VOICE_MEMBER, voice_member)

/* The fields of each layout, F(L, KIND, NAME, name, arg, max), with KIND a
 * TWL_F_* kind of twl_layout.h without its prefix. arg is the bits a FLAGS
 * field may hold, the one value of a FIXED byte, the record of ENTRIES and
 * RECORD, and the flag bit of an IF block; max is the longest a STR field may
 * be, and for IF the number of fields the block covers. A COUNT field is
 * followed by its ENTRIES, a LEN32 by its BYTES. L is passed through, for
 * the expansions that need the layout's name. */
#define TWL_FIELDS_MESSAGE(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, U16, ID_B, id_b, 0, 0) \
    F(L, U32, VALUE32, value32, 0, 0) \
    F(L, FLAGS, FLAGS, flags, 0xFF, 0) \
    F(L, U16, VALUE16, value16, 0, 0) \
    F(L, STR, NAME, name, 0, 31) \
    F(L, STR, TEXT, text, 0, 2000) \
    F(L, IF, ITEM, item, TWL_MESSAGE_FLAG_ITEM, 4) \
    F(L, FIXED, ITEM_COUNT, item_count, 1, 0) \
    F(L, STR, ITEM_NAME, item_name, 0, 63) \
    F(L, FIXED, ITEM_KIND, item_kind, 1, 0) \
    F(L, U16, ITEM_ID, item_id, 0, 0) \
    F(L, U16, VALUE16_B, value16_b, 0, 0) \
    F(L, IF, TRAILER, trailer, TWL_MESSAGE_FLAG_TRAILER, 2) \
    F(L, STR, TRAILER_NAME, trailer_name, 0, 31) \
    F(L, STR, TRAILER_TEXT, trailer_text, 0, 60)
/* Guild and member entries carry their byte before their word; DM entries
 * the other way round. */
#define TWL_FIELDS_GUILD(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, STR, NAME, name, 0, 31) \
    F(L, U8, VALUE8, value8, 0, 0) \
    F(L, U16, VALUE16, value16, 0, 0)
#define TWL_FIELDS_MEMBER(F, L) TWL_FIELDS_GUILD(F, L)
#define TWL_FIELDS_DM(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, STR, NAME, name, 0, 31) \
    F(L, U16, VALUE16, value16, 0, 0) \
    F(L, U8, VALUE8, value8, 0, 0)
#define TWL_FIELDS_CHANNEL(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, U8, VALUE8_A, value8_a, 0, 0) \
    F(L, STR, NAME, name, 0, 31) \
    F(L, U8, VALUE8_B, value8_b, 0, 0) \
    F(L, U16, VALUE16, value16, 0, 0)
#define TWL_FIELDS_VOICE_MEMBER(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, STR, NAME, name, 0, 31) \
    F(L, U8, VALUE8, value8, 0, 0)

#define TWL_FIELDS_HANDSHAKE_ACK(F, L) \
    F(L, U8, VALUE_A, value_a, 0, 0) \
    F(L, U8, VALUE_B, value_b, 0, 0) \
    F(L, FIXED, RESERVED, reserved, 0, 0) \
    F(L, STR, TEXT, text, 0, 32)
#define TWL_FIELDS_AUTH_RESULT(F, L) \
    F(L, U8, RESULT, result, 0, 0) \
    F(L, STR, TEXT_A, text_a, 0, 31) \
    F(L, STR, TEXT_B, text_b, 0, 8) \
    F(L, U16, VALUE, value, 0, 0)
#define TWL_FIELDS_GUILD_LIST(F, L) \
    F(L, COUNT16, COUNT, count, 0, 0) \
    F(L, ENTRIES, GUILD, guild, GUILD, 0)
#define TWL_FIELDS_CHANNEL_LIST(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, COUNT16, COUNT, count, 0, 0) \
    F(L, ENTRIES, CHANNEL, channel, CHANNEL, 0)
#define TWL_FIELDS_MESSAGE_BATCH(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, FLAGS, BATCH_FLAGS, batch_flags, TWL_BATCH_FLAG_A | TWL_BATCH_FLAG_B, 0) \
    F(L, COUNT16, COUNT, count, 0, 0) \
    F(L, ENTRIES, MESSAGE, message, MESSAGE, 0)
#define TWL_FIELDS_MESSAGE_CREATE(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, RECORD, MESSAGE, message, MESSAGE, 0)
#define TWL_FIELDS_MESSAGE_DELETE(F, L) \
    F(L, U16, ID_A, id_a, 0, 0) \
    F(L, U16, ID_B, id_b, 0, 0)
#define TWL_FIELDS_MESSAGE_UPDATE(F, L) \
    F(L, U16, ID_A, id_a, 0, 0) \
    F(L, U16, ID_B, id_b, 0, 0) \
    F(L, STR, TEXT, text, 0, 2000)
#define TWL_FIELDS_TYPING_START(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, STR, NAME, name, 0, 31)
#define TWL_FIELDS_IMAGE_DATA(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, U8, VALUE8_A, value8_a, 0, 0) \
    F(L, U8, VALUE8_B, value8_b, 0, 0) \
    F(L, U8, VALUE8_C, value8_c, 0, 0) \
    F(L, U16, VALUE16_A, value16_a, 0, 0) \
    F(L, U16, VALUE16_B, value16_b, 0, 0) \
    F(L, U16, VALUE16_C, value16_c, 0, 0) \
    F(L, LEN32, DATA_LEN, data_len, 0, 0) \
    F(L, BYTES, DATA, data, 0, 0)
#define TWL_FIELDS_STATUS(F, L) \
    F(L, U8, VALUE_A, value_a, 0, 0) \
    F(L, U8, VALUE_B, value_b, 0, 0) \
    F(L, STR, TEXT, text, 0, 128)
#define TWL_FIELDS_ERROR(F, L) \
    F(L, U8, VALUE_A, value_a, 0, 0) \
    F(L, U16, VALUE_B, value_b, 0, 0) \
    F(L, STR, TEXT, text, 0, 256)
#define TWL_FIELDS_UNREAD_UPDATE(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, U8, VALUE8, value8, 0, 0) \
    F(L, U16, VALUE16, value16, 0, 0)
#define TWL_FIELDS_DM_LIST(F, L) \
    F(L, COUNT16, COUNT, count, 0, 0) \
    F(L, ENTRIES, DM, dm, DM, 0)
#define TWL_FIELDS_MEMBER_LIST(F, L) \
    F(L, COUNT16, COUNT, count, 0, 0) \
    F(L, ENTRIES, MEMBER, member, MEMBER, 0)
#define TWL_FIELDS_GATEWAY_STATE(F, L) \
    F(L, U8, STATE, state, 0, 0)
#define TWL_FIELDS_PONG(F, L)
#define TWL_FIELDS_VOICE_STATUS(F, L) \
    F(L, U8, VALUE8, value8, 0, 0) \
    F(L, U16, ID, id, 0, 0) \
    F(L, STR, NAME, name, 0, 31)
#define TWL_FIELDS_VOICE_MEMBERS(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, COUNT8, COUNT, count, 0, 0) \
    F(L, ENTRIES, MEMBER, member, VOICE_MEMBER, 0)
#define TWL_FIELDS_VOICE_SPEAKING(F, L) \
    F(L, U16, ID, id, 0, 0) \
    F(L, U8, VALUE8, value8, 0, 0)
#define TWL_FIELDS_VOICE_ERROR(F, L) \
    F(L, U8, VALUE8, value8, 0, 0) \
    F(L, STR, TEXT, text, 0, 128)

#endif
