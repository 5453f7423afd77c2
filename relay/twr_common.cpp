#include "relay/twr_common.h"

const char *twr_strerror(int code) {
    switch (code) {
    case TWR_OK: return "success";
    case TWR_ERR_NOMEM: return "not enough memory";
    case TWR_ERR_IO: return "write failed";
    case TWR_ERR_PROTO: return "malformed frame";
    case TWR_ERR_CONFIG: return "unusable configuration file";
    default: return "unknown result code";
    }
}
