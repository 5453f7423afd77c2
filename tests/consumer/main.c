/* Builds a pong frame through the installed headers and library. */
#include <stdlib.h>

#include "relay/twl.h"

int main(void) {
    size_t len = 0;
    uint8_t *frame = twl_build_pong(&len);
    uint8_t type = 0;
    uint32_t payload_len = 1;
    const int ok = frame != NULL && len == TWR_MSG_HEADER_SIZE &&
                   twl_decode_header(frame, len, &type, &payload_len) == TWR_OK &&
                   type == TWR_MSG_PONG && payload_len == 0;
    free(frame);
    return ok ? 0 : 1;
}
