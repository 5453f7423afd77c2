/* Built from the installed headers and library, once through the CMake
 * package and once through pkg-config, as a C program. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "relay/twl.h"
#include "relay/twr_common.h"
#include "relay/twr_version.h"

static int failures = 0;
#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) {                                           \
            fprintf(stderr, "consumer: failed: %s\n", #cond);    \
            ++failures;                                          \
        }                                                        \
    } while (0)

int main(void) {
    /* The headers' version is the library's. */
    char spelled[32];
    snprintf(spelled, sizeof spelled, "%d.%d.%d", TWR_VERSION_MAJOR, TWR_VERSION_MINOR, TWR_VERSION_PATCH);
    CHECK(strcmp(spelled, TWR_VERSION_STRING) == 0);
    CHECK(strcmp(twr_version(), TWR_VERSION_STRING) == 0);

    /* Each result code has its own text; any other value the generic one. */
    const int codes[] = {TWR_OK, TWR_ERR_NOMEM, TWR_ERR_IO, TWR_ERR_PROTO, TWR_ERR_CONFIG, -1};
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; ++i)
        for (size_t j = 0; j < i; ++j) CHECK(strcmp(twr_strerror(codes[i]), twr_strerror(codes[j])) != 0);
    CHECK(strcmp(twr_strerror(-1), twr_strerror(12345)) == 0);

    /* 30 records at their largest, 2212 bytes each: one batch holds 29. */
    static char name[32], text[2001], item[64], trailer[61];
    memset(name, 'n', sizeof name - 1);
    memset(text, 't', sizeof text - 1);
    memset(item, 'i', sizeof item - 1);
    memset(trailer, 'r', sizeof trailer - 1);
    twl_message messages[30];
    for (size_t k = 0; k < 30; ++k)
        messages[k] = (twl_message){.flags = TWR_MSG_FLAG_ITEM | TWR_MSG_FLAG_TRAILER, .name = name,
                                    .text = text, .item_name = item, .trailer_name = name,
                                    .trailer_text = trailer};
    CHECK(twl_fit_message_batch(messages, 30) == 29);
    CHECK(twl_fit_message_batch(NULL, 30) == 0);
    size_t len = 0;
    uint8_t *frame = twl_build_message_batch(&len, 1, messages, 30, 1, 1);
    /* The payload opens with id (u16), flags (u8) and the count (u16). */
    CHECK(frame != NULL && len == TWR_MSG_HEADER_SIZE + 5 + 29 * 2212);
    CHECK(frame != NULL && frame[12] == (TWR_BATCH_FLAG_A | TWR_BATCH_FLAG_B) && frame[13] == 0 &&
          frame[14] == 29);
    free(frame);

    if (failures == 0) printf("consumer: built with %s, runs with %s\n", TWR_VERSION_STRING, twr_version());
    return failures == 0 ? 0 : 1;
}
