/* The smallest useful Mac client loop, in C89: it reads a TWL stream in
 * 100-byte chunks, as from a slow serial line, and prints each new
 * message's author and text and each guild name of a guild list. Names come
 * as Pascal strings, ready for the Toolbox; a message text may be 2,000
 * bytes, more than a Str255 holds, so it is gathered into a buffer of its
 * own, as into a TextEdit Handle. It builds from one folder holding the
 * client's files:  cc -o mac_client mac_client.c twl_client.c twl_layout.c */
#include <stdio.h>

#include "twl_client.h"

static void print_pstring(const char *label, const unsigned char *p)
{
    printf("%s%.*s\n", label, (int)p[0], (const char *)p + 1);
}

int main(void)
{
    static unsigned char text[TWL_STRING_MAX];
    unsigned char chunk[100], name[32];
    unsigned long text_len = 0, left;
    const unsigned char *at;
    twlc_reader reader;
    twlc_event ev;

    twlc_init(&reader);
    while ((left = (unsigned long)fread(chunk, 1, sizeof chunk, stdin)) > 0) {
        at = chunk;
        while (twlc_next(&reader, &at, &left, &ev) != TWLC_EV_NEED) {
            /* The message record is also a message batch's entry. */
            if (ev.field == TWL_FLD_GUILD_NAME && twlc_pstring(name, sizeof name, &ev))
                print_pstring("guild: ", name);
            if (ev.type != TWL_MSG_MESSAGE_CREATE) continue;
            if (ev.field == TWL_FLD_MESSAGE_NAME && twlc_pstring(name, sizeof name, &ev))
                print_pstring("from: ", name);
            if (ev.field == TWL_FLD_MESSAGE_TEXT && twlc_gather(text, sizeof text, &text_len, &ev))
                printf("text: %.*s\n", (int)text_len, (const char *)text);
        }
    }
    /* The end of the stream may leave a frame unfinished. */
    while (twlc_finish(&reader, &ev) != TWLC_EV_NEED)
        if (ev.event == TWLC_EV_CUT) puts("(the stream ends inside a frame)");
    return 0;
}
