/* relay_host.c: the relay core as a relay host uses it, step by step.
 *
 * A relay host stands between the upstream chat service and the Mac
 * clients. For every chat message it swaps the upstream snowflake IDs for
 * the 16-bit IDs a client carries, converts the text into what a Mac
 * displays, and frames the message for the wire; a channel's history goes
 * out as message batches. It keeps its settings in a JSON file.
 *
 * Build it against an installed core with
 *     cc -std=c11 relay_host.c $(pkg-config --cflags --libs twrelay)
 * It prints each step's result and exits 0 when every step went as shown. */
#define _POSIX_C_SOURCE 200809L /* mkdtemp, setenv, unsetenv */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "relay/config.h"
#include "relay/id_mapper.h"
#include "relay/message_text.h"
#include "relay/twl.h"
#include "relay/twr_common.h"
#include "relay/twr_version.h"

static int failures = 0;

/* Prints a step and the text of its result code, and counts a result other
 * than the one the step should give. */
static void report(const char *step, int rc, int expected) {
    printf("%-40s %s\n", step, twr_strerror(rc));
    if (rc != expected) ++failures;
}

/* With valid arguments a builder fails only when memory runs out. */
static int frame_result(const uint8_t *frame) { return frame != NULL ? TWR_OK : TWR_ERR_NOMEM; }

/* The ID mapper is one fixed record of about 100 KiB: give it static
 * storage rather than the stack. */
static twr_idmap_t ids;

/* A channel's history, oldest first, for step 4. */
#define HISTORY 40
static twl_message history[HISTORY];
static char long_text[2001];

int main(void) {
    /* 0. The library this program runs with should be the one its headers
     *    describe; with the shared library that is worth a check at start-up. */
    printf("relay core %s, built against headers %d.%d.%d\n", twr_version(), TWR_VERSION_MAJOR, TWR_VERSION_MINOR,
           TWR_VERSION_PATCH);
    if (strcmp(twr_version(), TWR_VERSION_STRING) != 0) ++failures;

    /* 1. IDs. A snowflake text gets a short ID the first time it is seen
     *    and keeps it; the mapper turns the short ID back into the text when
     *    a client refers to it. TWR_ID_NONE means the table is full. */
    idmap_init(&ids);
    const uint16_t channel = idmap_get_short(&ids, "1094710339178831973");
    const uint16_t author = idmap_get_short(&ids, "80351110224678912");
    const uint16_t message_id = idmap_get_short(&ids, "1213870539472605225");
    printf("short IDs: channel %u, author %u, message %u; author %u is %s\n", channel, author, message_id,
           author, idmap_get_snowflake(&ids, author));
    if (channel == TWR_ID_NONE || author == TWR_ID_NONE || message_id == TWR_ID_NONE) ++failures;

    /* 2. Text. Upstream UTF-8 with markdown and emoji becomes Mac OS Roman
     *    with style bytes. The result is the full length even when the
     *    buffer was too small; a message text is at most 2000 bytes on the
     *    wire, so a buffer of 2001 holds every text a client can get. */
    const char upstream[] = "**Déjà vu** at the café <:blobwave:4242> 🔥";
    char mac_text[2001];
    const size_t mac_len = tw_text_for_mac(upstream, strlen(upstream), mac_text, sizeof mac_text);
    printf("text: %zu bytes of UTF-8 became %zu bytes for the Mac\n", strlen(upstream), mac_len);

    /* 3. One new message, framed as MESSAGE_CREATE. Strings are copied into
     *    the frame, so they need to live only for the call. The numbers mean
     *    what the host and its clients agree on; here id is the message and
     *    id_b its author. A non-empty item_name sets TWR_MSG_FLAG_ITEM by
     *    itself; the trailer is sent only with TWR_MSG_FLAG_TRAILER. */
    const twl_message message = {.id = message_id, .id_b = author, .name = "Ann", .text = mac_text,
                                 .item_name = "photo.jpg", .item_id = 7,
                                 .flags = TWR_MSG_FLAG_TRAILER, .trailer_name = "Bo",
                                 .trailer_text = "in reply"};
    size_t len = 0;
    uint8_t *frame = twl_build_message_create(&len, channel, &message);
    report("build MESSAGE_CREATE", frame_result(frame), TWR_OK);
    printf("  %zu bytes to send\n", len); /* write(client, frame, len) */
    free(frame);

    /* 4. History. One batch frame holds at most 64 KiB of records, so a long
     *    history goes out as several. twl_fit_message_batch says how many
     *    leading records the next frame takes; step past them and repeat
     *    until none are left, and no record is lost or cut. */
    memset(long_text, 'x', sizeof long_text - 1);
    for (size_t k = 0; k < HISTORY; ++k)
        history[k] = (twl_message){.id = (uint16_t)(100 + k), .id_b = author, .name = "Ann", .text = long_text};
    const twl_message *next = history;
    size_t left = HISTORY;
    int frames = 0;
    while (left > 0) {
        const size_t n = twl_fit_message_batch(next, left);
        frame = twl_build_message_batch(&len, channel, next, (uint16_t)n, 0, 0);
        report("build MESSAGE_BATCH", frame_result(frame), TWR_OK);
        if (frame == NULL) break;
        printf("  frame %d: %zu records, %zu bytes\n", ++frames, n, len);
        free(frame);
        next += n;
        left -= n;
    }

    /* 5. Settings. The file lives in $XDG_CONFIG_HOME/twrelay, or else in
     *    $HOME/.config/twrelay. To leave the real settings alone, this
     *    example points HOME at a scratch directory. The core's log notes
     *    each load and save on standard error. */
    char home[] = "/tmp/relay_host-XXXXXX";
    if (mkdtemp(home) == NULL) {
        perror("relay_host: mkdtemp");
        return 1;
    }
    setenv("HOME", home, 1);
    unsetenv("XDG_CONFIG_HOME");
    char dot_config[64], config_dir[64];
    snprintf(dot_config, sizeof dot_config, "%s/.config", home);
    snprintf(config_dir, sizeof config_dir, "%s/.config/twrelay", home);
    mkdir(dot_config, 0700); /* a save creates only the last directory, twrelay */

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg); /* also sets config_path from the environment */
    /* On the first run there is no file yet: the defaults stay as they are. */
    report("load settings (first run)", twrelay_config_load(&cfg, cfg.config_path), TWR_ERR_CONFIG);
    cfg.port = 2102;
    report("save settings", twrelay_config_save(&cfg, cfg.config_path), TWR_OK);
    twrelay_config_t again;
    twrelay_config_defaults(&again);
    report("load settings", twrelay_config_load(&again, again.config_path), TWR_OK);
    printf("  port %u from %s\n", again.port, again.config_path);
    if (again.port != 2102) ++failures;

    remove(cfg.config_path);
    rmdir(config_dir);
    rmdir(dot_config);
    rmdir(home);

    printf("%s\n", failures == 0 ? "done" : "FAILED");
    return failures == 0 ? 0 : 1;
}
