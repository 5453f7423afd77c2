/* Built as C11 with -Wpedantic -Werror: the public headers compile together
 * in C, every public function links from a C object (a definition that lost
 * its C linkage would not), and a short session uses each module from C. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "relay/config.h"
#include "relay/emoji.h"
#include "relay/hashmap.h"
#include "relay/id_mapper.h"
#include "relay/log.h"
#include "relay/macroman.h"
#include "relay/markdown.h"
#include "relay/message_text.h"
#include "relay/twl.h"
#include "relay/twl_reader.h"
#include "relay/twr_common.h"

typedef void (*any_fn)(void);
#define F(name) (any_fn)(name)
static const any_fn every_function[] = {
    F(idmap_clear), F(idmap_get_short), F(idmap_get_snowflake), F(idmap_has), F(idmap_init),
    F(tw_format_markdown), F(tw_format_markdown_to), F(tw_hashmap_clear), F(tw_hashmap_free), F(tw_hashmap_get),
    F(tw_hashmap_has), F(tw_hashmap_init), F(tw_hashmap_remove), F(tw_hashmap_set), F(tw_strip_emoji),
    F(tw_strip_emoji_ex), F(tw_text_for_mac), F(twl_build_message), F(twl_build_pong), F(twl_decode_header),
    F(twl_decode_i16), F(twl_decode_string), F(twl_decode_u16), F(twl_decode_u32), F(twl_decode_u8),
    F(twl_encode_header), F(twl_encode_i16), F(twl_encode_string), F(twl_encode_u16), F(twl_encode_u32),
    F(twl_encode_u8), F(twl_build_handshake_ack), F(twl_build_auth_result), F(twl_build_status), F(twl_build_error),
    F(twl_build_gateway_state), F(twl_build_guild_list), F(twl_build_channel_list), F(twl_build_dm_list),
    F(twl_build_member_list), F(twl_build_message_batch), F(twl_build_message_create), F(twl_build_message_delete),
    F(twl_build_message_update), F(twl_build_typing_start), F(twl_build_unread_update), F(twl_build_image_data),
    F(twl_build_voice_status), F(twl_build_voice_members), F(twl_build_voice_speaking), F(twl_build_voice_error),
    F(twl_list_next_channel), F(twl_list_next_dm), F(twl_list_next_guild), F(twl_list_next_member),
    F(twl_list_next_message), F(twl_list_next_voice_member), F(twl_msg_type_name), F(twl_parse_auth_result),
    F(twl_parse_channel_list), F(twl_parse_dm_list), F(twl_parse_error), F(twl_parse_gateway_state),
    F(twl_parse_guild_list), F(twl_parse_handshake_ack), F(twl_parse_image_data), F(twl_parse_member_list),
    F(twl_parse_message_batch), F(twl_parse_message_create), F(twl_parse_message_delete),
    F(twl_parse_message_update), F(twl_parse_pong), F(twl_parse_status), F(twl_parse_typing_start),
    F(twl_parse_unread_update), F(twl_parse_voice_error), F(twl_parse_voice_members), F(twl_parse_voice_speaking),
    F(twl_parse_voice_status), F(twl_reader_commit), F(twl_reader_feed), F(twl_reader_init), F(twl_reader_next),
    F(twl_reader_offset), F(twl_reader_pending), F(twl_reader_skipped), F(twl_reader_space), F(twr_log),
    F(twr_log_debug), F(twr_log_error), F(twr_log_info), F(twr_log_init), F(twr_log_set_file), F(twr_log_set_level),
    F(twr_log_warn), F(twrelay_config_defaults), F(twrelay_config_load), F(twrelay_config_save),
    F(twrelay_config_set_default_paths), F(utf8_to_macroman)};

static int failures = 0;
#define CHECK(cond) \
    if (!(cond)) fprintf(stderr, "c_api_smoke: failed: %s\n", #cond), ++failures

int main(void) {
    static uint8_t buf[256];
    twl_reader_t reader;
    twl_frame_t frame;
    twl_status_view_t status;
    twr_idmap_t *ids = calloc(1, sizeof *ids);
    tw_hashmap_t map = {0};
    twrelay_config_t cfg;
    uint64_t value = 0;
    char text[64];
    size_t len = 0, k;
    uint8_t *bytes = twl_build_status(&len, 1, 2, "ok");

    for (k = 0; k < sizeof every_function / sizeof every_function[0]; ++k) CHECK(every_function[k] != NULL);
    CHECK(bytes != NULL && twl_reader_init(&reader, buf, sizeof buf) == TWR_OK);
    CHECK(twl_reader_feed(&reader, bytes, len) == len && twl_reader_next(&reader, &frame));
    CHECK(twl_parse_status(frame.payload, frame.payload_len, &status) == TWR_OK && status.text.len == 2);
    free(bytes);

    idmap_init(ids);
    CHECK(idmap_get_short(ids, "1150000000000000000") == 1 && idmap_has(ids, "1150000000000000000"));
    free(ids);
    CHECK(tw_hashmap_set(&map, "k", 42) == 0 && tw_hashmap_get(&map, "k", &value) == 0 && value == 42);
    tw_hashmap_free(&map);
    CHECK(tw_text_for_mac("**caf\xC3\xA9**", 9, text, sizeof text) == 6 && strcmp(text, "\x01" "caf\x8E\x01") == 0);
    twrelay_config_defaults(&cfg);
    CHECK(cfg.port == 2002);
    twr_log_set_level(TWR_LOG_ERROR);
    twr_log_info("not written: below the threshold");
    return failures != 0;
}
