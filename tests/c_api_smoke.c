/* Built as C11: every public header must be usable from C, and each
 * function is taken through a pointer of its declared type, so a signature
 * that drifts from what C callers were promised stops this from compiling. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "relay/config.h"
#include "relay/id_mapper.h"
#include "relay/emoji.h"
#include "relay/hashmap.h"
#include "relay/log.h"
#include "relay/macroman.h"
#include "relay/markdown.h"
#include "relay/message_text.h"
#include "relay/twl.h"
#include "relay/twl_reader.h"
#include "relay/twr_common.h"

static int failures = 0;
#define CHECK(cond)                                         \
    do {                                                    \
        if (!(cond)) {                                      \
            fprintf(stderr, "c_api_smoke: failed: %s\n", #cond); \
            ++failures;                                     \
        }                                                   \
    } while (0)

static void check_twl(void) {
    size_t (*encode_u16)(uint8_t *, size_t, uint16_t) = twl_encode_u16;
    size_t (*decode_string)(const uint8_t *, size_t, char *, size_t, size_t *) = twl_decode_string;
    int (*decode_header)(const uint8_t *, size_t, uint8_t *, uint32_t *) = twl_decode_header;
    size_t (*build_message)(uint8_t **, uint8_t, const uint8_t *, size_t) = twl_build_message;
    uint8_t *(*build_pong)(size_t *) = twl_build_pong;

    uint8_t buf[4];
    CHECK(encode_u16(buf, sizeof buf, 0x1234) == 2 && buf[0] == 0x12);
    char text[8];
    size_t wire_len = 0;
    const uint8_t field[] = {0x00, 0x02, 'h', 'i'};
    CHECK(decode_string(field, sizeof field, text, sizeof text, &wire_len) == 4 && wire_len == 2);

    size_t len = 0;
    uint8_t *pong = build_pong(&len);
    uint8_t type = 0;
    uint32_t payload_len = 1;
    CHECK(pong != NULL && len == TWR_MSG_HEADER_SIZE);
    CHECK(decode_header(pong, len, &type, &payload_len) == TWR_OK && type == TWR_MSG_PONG && payload_len == 0);
    free(pong);

    uint8_t *frame = NULL;
    const uint8_t payload[] = {1, 2, 3};
    CHECK(build_message(&frame, TWR_MSG_STATUS, payload, sizeof payload) == 13);
    free(frame);
}

static void check_twl_reader(void) {
    int (*init)(twl_reader_t *, uint8_t *, size_t) = twl_reader_init;
    size_t (*feed)(twl_reader_t *, const uint8_t *, size_t) = twl_reader_feed;
    uint8_t *(*space)(twl_reader_t *, size_t *) = twl_reader_space;
    void (*commit)(twl_reader_t *, size_t) = twl_reader_commit;
    bool (*next)(twl_reader_t *, twl_frame_t *) = twl_reader_next;
    size_t (*pending)(const twl_reader_t *) = twl_reader_pending;
    uint64_t (*skipped)(const twl_reader_t *) = twl_reader_skipped;
    uint64_t (*offset)(const twl_reader_t *) = twl_reader_offset;
    const char *(*type_name)(uint8_t) = twl_msg_type_name;
    int (*parse_status)(const uint8_t *, size_t, twl_status_view_t *) = twl_parse_status;
    int (*parse_guilds)(const uint8_t *, size_t, twl_list_t *) = twl_parse_guild_list;
    bool (*next_guild)(twl_list_t *, twl_guild_view_t *) = twl_list_next_guild;
    int (*parse_create)(const uint8_t *, size_t, twl_message_create_view_t *) = twl_parse_message_create;
    int (*parse_image)(const uint8_t *, size_t, twl_image_data_view_t *) = twl_parse_image_data;

    /* Two garbage bytes, then a status frame split across a feed and a commit. */
    const uint8_t stream[] = {'x', 'y', 'T', 'R', 'W', 'K', 0x01, 0x8C, 0, 0, 0, 6,
                              0x01, 0x02, 0x00, 0x02, 'o', 'k'};
    uint8_t buf[64];
    twl_reader_t reader;
    twl_frame_t frame;
    size_t room = 0;
    CHECK(init(&reader, buf, sizeof buf) == TWR_OK);
    CHECK(feed(&reader, stream, 10) == 10);
    CHECK(!next(&reader, &frame) && pending(&reader) == 8 && skipped(&reader) == 2);
    uint8_t *at = space(&reader, &room);
    CHECK(at != NULL && room >= 8);
    memcpy(at, stream + 10, 8);
    commit(&reader, 8);
    CHECK(next(&reader, &frame) && frame.type == TWR_MSG_STATUS && frame.skipped == 2);
    CHECK(offset(&reader) == sizeof stream && type_name(frame.type) != NULL);
    twl_status_view_t status;
    CHECK(parse_status(frame.payload, frame.payload_len, &status) == TWR_OK && status.text.len == 2);

    const uint8_t guilds[] = {0x00, 0x01, 0x00, 0x07, 0x00, 0x01, 'G', 0x03, 0x00, 0x04};
    twl_list_t list;
    twl_guild_view_t guild;
    CHECK(parse_guilds(guilds, sizeof guilds, &list) == TWR_OK && list.count == 1);
    CHECK(next_guild(&list, &guild) && guild.id == 7 && guild.value16 == 4);
    twl_message_create_view_t create;
    CHECK(parse_create(guilds, sizeof guilds, &create) == TWR_ERR_PROTO);
    twl_image_data_view_t image;
    CHECK(parse_image(NULL, 0, &image) == TWR_ERR_PROTO);
}

static void check_twl_builders(void) {
    uint8_t *(*handshake_ack)(size_t *, uint8_t, uint8_t, const char *) = twl_build_handshake_ack;
    uint8_t *(*auth_result)(size_t *, uint8_t, const char *, const char *, uint16_t) = twl_build_auth_result;
    uint8_t *(*status)(size_t *, uint8_t, uint8_t, const char *) = twl_build_status;
    uint8_t *(*error)(size_t *, uint8_t, uint16_t, const char *) = twl_build_error;
    uint8_t *(*gateway_state)(size_t *, uint8_t) = twl_build_gateway_state;
    uint8_t *(*guild_list)(size_t *, const twl_guild_entry *, uint16_t) = twl_build_guild_list;
    uint8_t *(*channel_list)(size_t *, uint16_t, const twl_channel_entry *, uint16_t) = twl_build_channel_list;
    uint8_t *(*message_batch)(size_t *, uint16_t, const twl_message *, uint16_t, int, int) = twl_build_message_batch;
    uint8_t *(*message_create)(size_t *, uint16_t, const twl_message *) = twl_build_message_create;
    uint8_t *(*message_delete)(size_t *, uint16_t, uint16_t) = twl_build_message_delete;
    uint8_t *(*message_update)(size_t *, uint16_t, uint16_t, const char *) = twl_build_message_update;
    uint8_t *(*typing_start)(size_t *, uint16_t, const char *) = twl_build_typing_start;
    uint8_t *(*dm_list)(size_t *, const twl_dm_entry *, uint16_t) = twl_build_dm_list;
    uint8_t *(*member_list)(size_t *, const twl_member_entry *, uint16_t) = twl_build_member_list;
    uint8_t *(*unread_update)(size_t *, uint16_t, uint8_t, uint16_t) = twl_build_unread_update;
    uint8_t *(*image_data)(size_t *, uint16_t, uint8_t, uint8_t, uint8_t, uint16_t, uint16_t, uint16_t,
                           const uint8_t *, uint32_t) = twl_build_image_data;
    uint8_t *(*voice_status)(size_t *, uint8_t, uint16_t, const char *) = twl_build_voice_status;
    uint8_t *(*voice_members)(size_t *, uint16_t, const twl_voice_member *, uint8_t) = twl_build_voice_members;
    uint8_t *(*voice_speaking)(size_t *, uint16_t, uint8_t) = twl_build_voice_speaking;
    uint8_t *(*voice_error)(size_t *, uint8_t, const char *) = twl_build_voice_error;

    /* Each builder once; the frame length is header plus payload. */
    const twl_guild_entry guild = {1, "Guild", 0, 0};
    const twl_member_entry member = {2, "Member", 1, 2};
    const twl_dm_entry dm = {3, "Friend", 4, 5};
    const twl_channel_entry channel = {4, 0, "general", 1, 0};
    const twl_voice_member voice = {5, "Talker", 1};
    twl_message message = {0};
    const uint8_t image[] = {0x89, 'P', 'N', 'G'};
    struct {
        uint8_t *frame;
        size_t len;
        size_t payload;
    } built[20];
    size_t k = 0;
    message.text = "hello";
    built[k].frame = handshake_ack(&built[k].len, 1, 2, "hi"), built[k++].payload = 7;
    built[k].frame = auth_result(&built[k].len, 0, "user", "t", 9), built[k++].payload = 12;
    built[k].frame = status(&built[k].len, 1, 2, NULL), built[k++].payload = 4;
    built[k].frame = error(&built[k].len, 1, 2, "oops"), built[k++].payload = 9;
    built[k].frame = gateway_state(&built[k].len, 2), built[k++].payload = 1;
    built[k].frame = guild_list(&built[k].len, &guild, 1), built[k++].payload = 14;
    built[k].frame = channel_list(&built[k].len, 9, &channel, 1), built[k++].payload = 19;
    built[k].frame = message_batch(&built[k].len, 9, &message, 1, 1, 0), built[k++].payload = 27;
    built[k].frame = message_create(&built[k].len, 9, &message), built[k++].payload = 24;
    built[k].frame = message_delete(&built[k].len, 1, 2), built[k++].payload = 4;
    built[k].frame = message_update(&built[k].len, 1, 2, "edit"), built[k++].payload = 10;
    built[k].frame = typing_start(&built[k].len, 1, "kim"), built[k++].payload = 7;
    built[k].frame = dm_list(&built[k].len, &dm, 1), built[k++].payload = 15;
    built[k].frame = member_list(&built[k].len, &member, 1), built[k++].payload = 15;
    built[k].frame = unread_update(&built[k].len, 1, 2, 3), built[k++].payload = 5;
    built[k].frame = image_data(&built[k].len, 1, 0, 0, 0, 0, 0, 0, image, sizeof image), built[k++].payload = 19;
    built[k].frame = voice_status(&built[k].len, 1, 2, "room"), built[k++].payload = 9;
    built[k].frame = voice_members(&built[k].len, 1, &voice, 1), built[k++].payload = 14;
    built[k].frame = voice_speaking(&built[k].len, 1, 1), built[k++].payload = 3;
    built[k].frame = voice_error(&built[k].len, 1, "busy"), built[k++].payload = 7;
    CHECK(k == sizeof built / sizeof built[0]);
    for (k = 0; k < sizeof built / sizeof built[0]; ++k) {
        CHECK(built[k].frame != NULL && built[k].len == TWR_MSG_HEADER_SIZE + built[k].payload);
        free(built[k].frame);
    }
}

static void check_hashmap(void) {
    void (*init)(tw_hashmap_t *, uint32_t) = tw_hashmap_init;
    void (*release)(tw_hashmap_t *) = tw_hashmap_free;
    void (*clear)(tw_hashmap_t *) = tw_hashmap_clear;
    int (*set)(tw_hashmap_t *, const char *, uint64_t) = tw_hashmap_set;
    int (*get)(const tw_hashmap_t *, const char *, uint64_t *) = tw_hashmap_get;
    bool (*has)(const tw_hashmap_t *, const char *) = tw_hashmap_has;
    void (*remove_key)(tw_hashmap_t *, const char *) = tw_hashmap_remove;

    tw_hashmap_t map;
    init(&map, 10);
    CHECK(map.capacity == 16 && map.count == 0);
    uint64_t value = 0;
    CHECK(set(&map, "alpha", UINT64_MAX) == 0 && get(&map, "alpha", &value) == 0 && value == UINT64_MAX);
    remove_key(&map, "alpha");
    CHECK(!has(&map, "alpha") && map.count == 0);
    CHECK(set(&map, "beta", 2) == 0);
    clear(&map);
    CHECK(map.count == 0 && map.capacity == 16);
    release(&map);
    CHECK(map.keys == NULL && map.capacity == 0);
}

static void check_log(void) {
    void (*init)(int, twr_log_callback_t, void *) = twr_log_init;
    void (*set_level)(int) = twr_log_set_level;
    void (*set_file)(const char *) = twr_log_set_file;
    void (*log_warn)(const char *, ...) = twr_log_warn;
    init(TWR_LOG_INFO, NULL, NULL);
    set_level(TWR_LOG_ERROR);
    set_file(NULL);
    log_warn("dropped below the threshold: %d", 1);
}

static void check_config(void) {
    void (*defaults)(twrelay_config_t *) = twrelay_config_defaults;
    void (*set_default_paths)(twrelay_config_t *) = twrelay_config_set_default_paths;
    int (*load)(twrelay_config_t *, const char *) = twrelay_config_load;
    int (*save)(const twrelay_config_t *, const char *) = twrelay_config_save;

    twrelay_config_t cfg;
    defaults(&cfg);
    set_default_paths(&cfg);
    CHECK(cfg.port == 2002 && cfg.max_clients == TWR_MAX_CLIENTS && cfg.config_path[0] != '\0');
    /* Neither call can touch the disk: the parent of the missing directory is
     * missing too, and only one level would be created. */
    CHECK(load(&cfg, "/nonexistent-twrelay-smoke/none/config.json") == TWR_ERR_CONFIG && cfg.port == 2002);
    CHECK(save(&cfg, "/nonexistent-twrelay-smoke/none/config.json") == TWR_ERR_IO);
}

static void check_id_mapper(void) {
    void (*init)(twr_idmap_t *) = idmap_init;
    void (*clear)(twr_idmap_t *) = idmap_clear;
    uint16_t (*get_short)(twr_idmap_t *, const char *) = idmap_get_short;
    const char *(*get_snowflake)(const twr_idmap_t *, uint16_t) = idmap_get_snowflake;
    bool (*has)(const twr_idmap_t *, const char *) = idmap_has;

    twr_idmap_t *map = malloc(sizeof *map);
    CHECK(map != NULL);
    if (map == NULL) return;
    init(map);
    CHECK(get_short(map, "175928847299117063") == 1 && map->count == 1);
    const char *text = get_snowflake(map, 1);
    CHECK(text != NULL && text[0] == '1' && has(map, "175928847299117063"));
    clear(map);
    CHECK(map->count == 0 && map->next_id == 1 && get_snowflake(map, 1) == NULL);
    free(map);
}

static void check_macroman(void) {
    size_t (*to_macroman)(const char *, char *, size_t) = utf8_to_macroman;
    char out[8];
    CHECK(to_macroman("caf\xC3\xA9", out, sizeof out) == 4 && (unsigned char)out[3] == 0x8E);
    CHECK(to_macroman(NULL, out, sizeof out) == 0);
}

static void check_markdown(void) {
    size_t (*format)(char *, size_t, size_t) = tw_format_markdown;
    size_t (*format_to)(const char *, size_t, char *, size_t) = tw_format_markdown_to;
    char buf[16] = "**hi**";
    CHECK(format(buf, 6, sizeof buf) == 4 && buf[0] == TW_CTRL_BOLD && buf[3] == TW_CTRL_BOLD);
    char out[16];
    CHECK(format_to("- a", 3, out, sizeof out) == 5 && (unsigned char)out[2] == TW_BULLET_MARK);
}

static void check_emoji(void) {
    size_t (*strip)(const char *, size_t, char *, size_t) = tw_strip_emoji;
    size_t (*strip_ex)(const char *, size_t, char *, size_t, unsigned) = tw_strip_emoji_ex;
    char out[16];
    CHECK(strip("<:wave:1>", 9, out, sizeof out) == 6 && strcmp(out, "(wave)") == 0);
    CHECK(strip_ex("\xC3\xA9", 2, out, sizeof out, TW_EMOJI_KEEP_TEXT | TW_EMOJI_DROP_STYLE) == 2);
}

static void check_message_text(void) {
    size_t (*for_mac)(const char *, size_t, char *, size_t) = tw_text_for_mac;
    char out[16];
    CHECK(for_mac("**caf\xC3\xA9**", 9, out, sizeof out) == 6 && (unsigned char)out[4] == 0x8E);
    CHECK(for_mac("- x", 3, out, 2) == 5 && out[0] == ' ' && out[1] == '\0');
}

int main(void) {
    check_twl();
    check_twl_reader();
    check_twl_builders();
    check_hashmap();
    check_log();
    check_config();
    check_id_mapper();
    check_macroman();
    check_markdown();
    check_emoji();
    check_message_text();
    return failures == 0 ? 0 : 1;
}
