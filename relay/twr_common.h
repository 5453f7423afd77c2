/* Result codes shared by every module of the relay core.
 * 0 is success; failures are negative so that a caller can test `rc < 0`.
 * Operations that report by other means (byte counts, null pointers,
 * sentinel IDs) say so in their own headers. twr_strerror may be called from
 * any thread: its texts are constant. */
#ifndef RELAY_TWR_COMMON_H
#define RELAY_TWR_COMMON_H

#define TWR_OK 0
#define TWR_ERR_NOMEM (-2)  /* memory was not available */
#define TWR_ERR_IO (-3)     /* a file could not be written */
#define TWR_ERR_PROTO (-4)  /* a frame header or payload was rejected */
#define TWR_ERR_CONFIG (-7) /* configuration file missing, of unusable size, or not JSON */

#ifdef __cplusplus
extern "C" {
#endif

/* Returns a short English text for a result code, for logs and messages: one
 * text per code above, and one generic text for any other value. The text is
 * static: never NULL, never to be freed. */
const char *twr_strerror(int code);

#ifdef __cplusplus
}
#endif

#endif
