/* The relay core's leveled, time-stamped log.
 *
 * A message at or below the threshold goes, in this order, to the host's
 * callback (bare text), then as one line "HH:MM:SS [LEVEL] message" to
 * standard error and, when one is open, to the log file (flushed per line).
 * Messages are cut to 2047 bytes. The log never allocates.
 *
 * Threads: its state is process-wide, and every function may be called from
 * any thread at any time. Each line is written whole and none is dropped;
 * the lines of several threads reach the callback, standard error and the
 * file in one and the same order. The callback is never entered by two
 * threads at once: the log holds a lock of its own while a line is
 * delivered, callback included. */
#ifndef RELAY_LOG_H
#define RELAY_LOG_H

#include <stdarg.h>

#define TWR_LOG_ERROR 0
#define TWR_LOG_WARN 1
#define TWR_LOG_INFO 2
#define TWR_LOG_DEBUG 3

#if defined(__GNUC__) || defined(__clang__)
#define TWR_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define TWR_PRINTF_FORMAT(fmt_index, first_arg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Receives each delivered message without time or level prefix, before the
 * line is written anywhere. ctx is the pointer given to twr_log_init, passed
 * back unchanged; message is valid only during the call. A message logged
 * from inside the callback is dropped (the line being delivered is still
 * written), so a callback may call the log without recursing; it may also
 * change the log's settings. It runs with the log's lock held, so it must
 * not wait for another thread that logs or changes those settings. */
typedef void (*twr_log_callback_t)(void *ctx, int level, const char *message);

/* Replaces threshold, callback (may be NULL for none) and context (may be
 * NULL) together; the log file stays as it is. The threshold starts at
 * TWR_LOG_INFO. Once it returns, the previous callback is not running in any
 * other thread and is not entered again, so its context may be released. */
void twr_log_init(int level, twr_log_callback_t callback, void *ctx);
/* Sets the threshold alone: messages with a greater level are dropped. */
void twr_log_set_level(int level);
/* Closes the open log file, if any, then opens path for appending (NULL
 * leaves none open) and writes "--- Log opened ---". A path that cannot be
 * opened is not reported: lines keep going to standard error. The log owns
 * the file; it stays open until the next call, or until the library is
 * unloaded (dlclose) or the process ends, which close it as well. */
void twr_log_set_file(const char *path);

/* Drops the message when level is above the threshold; otherwise formats it
 * (cut to 2047 bytes), hands it to the callback and writes the line. A level
 * outside 0..3 is printed as "?". A message that fails to format (an encoding
 * error) is delivered empty. */
void twr_log(int level, const char *format, ...) TWR_PRINTF_FORMAT(2, 3);
/* Log at TWR_LOG_ERROR, _WARN, _INFO and _DEBUG. Each formats the message,
 * then logs it as plain text: a "%" in the result is printed as it stands. */
void twr_log_error(const char *format, ...) TWR_PRINTF_FORMAT(1, 2);
void twr_log_warn(const char *format, ...) TWR_PRINTF_FORMAT(1, 2);
void twr_log_info(const char *format, ...) TWR_PRINTF_FORMAT(1, 2);
void twr_log_debug(const char *format, ...) TWR_PRINTF_FORMAT(1, 2);

#ifdef __cplusplus
}
#endif

#endif
