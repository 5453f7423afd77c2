/* Built as C11 with -Wpedantic -Werror: the public headers compile together
 * in C, and a short session uses each module from C, with the result texts
 * and the batch fit. That every declared
 * function is exported with C linkage is the shared-library check's part. */
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
    size_t len = 0, i, j;
    uint8_t *bytes = twl_build_status(&len, 1, 2, "ok");
    /* Each result code has its own text, any other value the generic one. */
    const int codes[] = {TWR_OK, TWR_ERR_NOMEM, TWR_ERR_IO, TWR_ERR_PROTO, TWR_ERR_CONFIG, -1};
    /* 30 records at their largest, 2212 bytes each: one batch holds 29. */
    static char name[TWL_MAX_MESSAGE_NAME + 1], body[TWL_MAX_MESSAGE_TEXT + 1], item[TWL_MAX_MESSAGE_ITEM_NAME + 1],
        trailer[TWL_MAX_MESSAGE_TRAILER_TEXT + 1];
    static twl_message messages[30];

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
    for (i = 0; i < sizeof codes / sizeof codes[0]; ++i)
        for (j = 0; j < i; ++j) CHECK(strcmp(twr_strerror(codes[i]), twr_strerror(codes[j])) != 0);
    CHECK(strcmp(twr_strerror(-1), twr_strerror(12345)) == 0);
    memset(name, 'n', sizeof name - 1), memset(body, 't', sizeof body - 1), memset(item, 'i', sizeof item - 1);
    memset(trailer, 'r', sizeof trailer - 1);
    for (i = 0; i < 30; ++i)
        messages[i] = (twl_message){.flags = TWR_MSG_FLAG_ITEM | TWR_MSG_FLAG_TRAILER, .name = name, .text = body,
                                    .item_name = item, .trailer_name = name, .trailer_text = trailer};
    CHECK(twl_fit_message_batch(messages, 30) == 29 && twl_fit_message_batch(NULL, 30) == 0);
    twr_log_set_level(TWR_LOG_ERROR);
    twr_log_info("not written: below the threshold");
    return failures != 0;
}
