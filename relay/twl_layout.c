/* The TWL message layouts; see twl_layout.h. The limits here are the ones
 * the builders of relay/twl.h write and the readers hold payloads to. */
#include "twl_layout.h"

#define END {TWL_F_END, 0, 0, 0}

static const twl_field_t twl_f_message[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_U16, 0, 0, "id_b"}, {TWL_F_U32, 0, 0, "value32"},
    {TWL_F_FLAGS, 0xFF, 0, "flags"}, {TWL_F_U16, 0, 0, "value16"},
    {TWL_F_STR, 0, 31, "name"}, {TWL_F_STR, 0, 2000, "text"},
    {TWL_F_IF, 0x02, 4, "item"},
    {TWL_F_FIXED, 1, 0, "item_count"}, {TWL_F_STR, 0, 63, "item_name"},
    {TWL_F_FIXED, 1, 0, "item_kind"}, {TWL_F_U16, 0, 0, "item_id"},
    {TWL_F_U16, 0, 0, "value16_b"},
    {TWL_F_IF, 0x04, 2, "trailer"},
    {TWL_F_STR, 0, 31, "trailer_name"}, {TWL_F_STR, 0, 60, "trailer_text"}, END};
/* Guild and member entries carry their byte before their word; DM entries
 * the other way round. */
static const twl_field_t twl_f_guild[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_STR, 0, 31, "name"}, {TWL_F_U8, 0, 0, "value8"},
    {TWL_F_U16, 0, 0, "value16"}, END};
static const twl_field_t twl_f_dm[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_STR, 0, 31, "name"}, {TWL_F_U16, 0, 0, "value16"},
    {TWL_F_U8, 0, 0, "value8"}, END};
static const twl_field_t twl_f_channel[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_U8, 0, 0, "value8_a"}, {TWL_F_STR, 0, 31, "name"},
    {TWL_F_U8, 0, 0, "value8_b"}, {TWL_F_U16, 0, 0, "value16"}, END};
static const twl_field_t twl_f_voice_member[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_STR, 0, 31, "name"}, {TWL_F_U8, 0, 0, "value8"}, END};

const twl_layout_t twl_records[TWL_RECORD_COUNT] = {
    {0, "message", 2212, twl_f_message},   {0, "guild", 38, twl_f_guild},
    {0, "member", 38, twl_f_guild},        {0, "dm", 38, twl_f_dm},
    {0, "channel", 39, twl_f_channel},     {0, "member", 36, twl_f_voice_member}};

static const twl_field_t twl_f_handshake_ack[] = {
    {TWL_F_U8, 0, 0, "value_a"}, {TWL_F_U8, 0, 0, "value_b"}, {TWL_F_FIXED, 0, 0, "reserved"},
    {TWL_F_STR, 0, 32, "text"}, END};
static const twl_field_t twl_f_auth_result[] = {
    {TWL_F_U8, 0, 0, "result"}, {TWL_F_STR, 0, 31, "text_a"}, {TWL_F_STR, 0, 8, "text_b"},
    {TWL_F_U16, 0, 0, "value"}, END};
static const twl_field_t twl_f_guild_list[] = {
    {TWL_F_COUNT16, 0, 0, "count"}, {TWL_F_ENTRIES, TWL_REC_GUILD, 0, "guild"}, END};
static const twl_field_t twl_f_channel_list[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_COUNT16, 0, 0, "count"},
    {TWL_F_ENTRIES, TWL_REC_CHANNEL, 0, "channel"}, END};
static const twl_field_t twl_f_message_batch[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_FLAGS, 0x03, 0, "batch_flags"}, {TWL_F_COUNT16, 0, 0, "count"},
    {TWL_F_ENTRIES, TWL_REC_MESSAGE, 0, "message"}, END};
static const twl_field_t twl_f_message_create[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_RECORD, TWL_REC_MESSAGE, 0, "message"}, END};
static const twl_field_t twl_f_two_ids[] = {
    {TWL_F_U16, 0, 0, "id_a"}, {TWL_F_U16, 0, 0, "id_b"}, END};
static const twl_field_t twl_f_message_update[] = {
    {TWL_F_U16, 0, 0, "id_a"}, {TWL_F_U16, 0, 0, "id_b"}, {TWL_F_STR, 0, 2000, "text"}, END};
static const twl_field_t twl_f_typing_start[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_STR, 0, 31, "name"}, END};
static const twl_field_t twl_f_image_data[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_U8, 0, 0, "value8_a"}, {TWL_F_U8, 0, 0, "value8_b"},
    {TWL_F_U8, 0, 0, "value8_c"}, {TWL_F_U16, 0, 0, "value16_a"}, {TWL_F_U16, 0, 0, "value16_b"},
    {TWL_F_U16, 0, 0, "value16_c"}, {TWL_F_LEN32, 0, 0, "data_len"}, {TWL_F_BYTES, 0, 0, "data"},
    END};
static const twl_field_t twl_f_status[] = {
    {TWL_F_U8, 0, 0, "value_a"}, {TWL_F_U8, 0, 0, "value_b"}, {TWL_F_STR, 0, 128, "text"}, END};
static const twl_field_t twl_f_error[] = {
    {TWL_F_U8, 0, 0, "value_a"}, {TWL_F_U16, 0, 0, "value_b"}, {TWL_F_STR, 0, 256, "text"}, END};
static const twl_field_t twl_f_unread_update[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_U8, 0, 0, "value8"}, {TWL_F_U16, 0, 0, "value16"}, END};
static const twl_field_t twl_f_dm_list[] = {
    {TWL_F_COUNT16, 0, 0, "count"}, {TWL_F_ENTRIES, TWL_REC_DM, 0, "dm"}, END};
static const twl_field_t twl_f_member_list[] = {
    {TWL_F_COUNT16, 0, 0, "count"}, {TWL_F_ENTRIES, TWL_REC_MEMBER, 0, "member"}, END};
static const twl_field_t twl_f_gateway_state[] = {{TWL_F_U8, 0, 0, "state"}, END};
static const twl_field_t twl_f_pong[] = {END};
static const twl_field_t twl_f_voice_status[] = {
    {TWL_F_U8, 0, 0, "value8"}, {TWL_F_U16, 0, 0, "id"}, {TWL_F_STR, 0, 31, "name"}, END};
static const twl_field_t twl_f_voice_members[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_COUNT8, 0, 0, "count"},
    {TWL_F_ENTRIES, TWL_REC_VOICE_MEMBER, 0, "member"}, END};
static const twl_field_t twl_f_voice_speaking[] = {
    {TWL_F_U16, 0, 0, "id"}, {TWL_F_U8, 0, 0, "value8"}, END};
static const twl_field_t twl_f_voice_error[] = {
    {TWL_F_U8, 0, 0, "value8"}, {TWL_F_STR, 0, 128, "text"}, END};

const twl_layout_t twl_messages[TWL_MESSAGE_COUNT] = {
    {0x81, "HANDSHAKE_ACK", 37, twl_f_handshake_ack},
    {0x82, "AUTH_RESULT", 46, twl_f_auth_result},
    {0x83, "GUILD_LIST", TWL_MAX_PAYLOAD, twl_f_guild_list},
    {0x84, "CHANNEL_LIST", TWL_MAX_PAYLOAD, twl_f_channel_list},
    {0x85, "MESSAGE_BATCH", 65536UL, twl_f_message_batch},
    {0x86, "MESSAGE_CREATE", 2214, twl_f_message_create},
    {0x87, "MESSAGE_DELETE", 4, twl_f_two_ids},
    {0x88, "MESSAGE_UPDATE", 2006, twl_f_message_update},
    {0x89, "TYPING_START", 35, twl_f_typing_start},
    {0x8B, "IMAGE_DATA", TWL_MAX_PAYLOAD, twl_f_image_data},
    {0x8C, "STATUS", 132, twl_f_status},
    {0x8D, "ERROR", 261, twl_f_error},
    {0x8E, "UNREAD_UPDATE", 5, twl_f_unread_update},
    {0x8F, "DM_LIST", TWL_MAX_PAYLOAD, twl_f_dm_list},
    {0x90, "MEMBER_LIST", TWL_MAX_PAYLOAD, twl_f_member_list},
    {0x91, "GATEWAY_STATE", 1, twl_f_gateway_state},
    {0x92, "PONG", 0, twl_f_pong},
    {0x93, "VOICE_STATUS", 36, twl_f_voice_status},
    {0x94, "VOICE_MEMBERS", 3 + 255 * 36, twl_f_voice_members},
    {0x95, "VOICE_SPEAKING", 3, twl_f_voice_speaking},
    {0x96, "VOICE_ERROR", 131, twl_f_voice_error}};
