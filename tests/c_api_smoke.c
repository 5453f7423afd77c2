/* Built as C11: every public header must be usable from C, and each
 * function is taken through a pointer of its declared type, so a signature
 * that drifts from what C callers were promised stops this from compiling. */
#include <stdio.h>
#include <stdlib.h>

#include "relay/hashmap.h"
#include "relay/log.h"
#include "relay/twl.h"
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

int main(void) {
    check_twl();
    check_hashmap();
    check_log();
    return failures == 0 ? 0 : 1;
}
