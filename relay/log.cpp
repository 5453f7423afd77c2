#include "relay/log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <mutex>

namespace {

constexpr size_t kMessageSize = 2048;  // 2047 bytes of text and the NUL
// "HH:MM:SS [LEVEL] " is 17 bytes, so a full message always fits.
constexpr size_t kLineSize = 2112;
static_assert(kLineSize >= 17 + kMessageSize);

constexpr const char *level_names[] = {"ERROR", "WARN", "INFO", "DEBUG"};

// Read without the lock, so that a message above the threshold costs no more
// than one load, whatever other threads are doing.
std::atomic<int> s_level{TWR_LOG_INFO};
// Held for every change of callback, context or file and for a whole
// delivery, so lines from several threads come out whole, in the same order
// at the callback and in each output, and the callback is never entered by
// two threads at once. Recursive, because a callback may change the settings
// from inside the delivery it was called for.
std::recursive_mutex s_lock;
twr_log_callback_t s_callback = nullptr;
void *s_ctx = nullptr;
FILE *s_logfile = nullptr;
// Set while this thread delivers a line: a callback that logs again would
// otherwise recurse until the stack runs out. Per thread, so that one
// thread's delivery never drops another thread's line.
thread_local bool s_delivering = false;

// Unloading the library (or leaving the process) closes the file the log
// opened; it would otherwise stay open, descriptor and all, with no code
// left that could close it. Defined after the lock, so destroyed before it.
struct file_closer {
    ~file_closer() {
        const std::lock_guard hold(s_lock);
        if (s_logfile != nullptr) std::fclose(s_logfile);
        s_logfile = nullptr;
    }
} s_file_closer;

bool dropped(int level) { return level > s_level.load(std::memory_order_relaxed); }

const char *level_name(int level) {
    if (level < 0 || level >= int(std::size(level_names))) return "?";
    return level_names[level];
}

void deliver(int level, const char *message) {
    if (s_delivering) return;
    const std::lock_guard hold(s_lock);
    s_delivering = true;
    if (s_callback != nullptr) s_callback(s_ctx, level, message);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char line[kLineSize];
    std::snprintf(line, sizeof line, "%02d:%02d:%02d [%-5s] %s", local.tm_hour, local.tm_min,
                  local.tm_sec, level_name(level), message);
    std::fprintf(stderr, "%s\n", line);
    if (s_logfile != nullptr) {
        std::fprintf(s_logfile, "%s\n", line);
        std::fflush(s_logfile);
    }
    s_delivering = false;
}

// Cuts a long message to the buffer. On an encoding error the C library
// does not promise a terminated buffer, so the message becomes empty.
void format_into(char (&out)[kMessageSize], const char *format, va_list args) TWR_PRINTF_FORMAT(2, 0);
void format_into(char (&out)[kMessageSize], const char *format, va_list args) {
    if (std::vsnprintf(out, sizeof out, format, args) < 0) out[0] = '\0';
}

void vlog(int level, const char *format, va_list args) TWR_PRINTF_FORMAT(2, 0);
void vlog(int level, const char *format, va_list args) {
    if (dropped(level)) return;
    char message[kMessageSize];
    format_into(message, format, args);
    deliver(level, message);
}

}  // namespace

void twr_log_init(int level, twr_log_callback_t callback, void *ctx) {
    const std::lock_guard hold(s_lock);
    s_level.store(level, std::memory_order_relaxed);
    s_callback = callback;
    s_ctx = ctx;
}

void twr_log_set_level(int level) { s_level.store(level, std::memory_order_relaxed); }

void twr_log_set_file(const char *path) {
    const std::lock_guard hold(s_lock);
    if (s_logfile != nullptr) {
        std::fclose(s_logfile);
        s_logfile = nullptr;
    }
    if (path == nullptr) return;
    s_logfile = std::fopen(path, "a");
    if (s_logfile == nullptr) return;
    std::fputs("--- Log opened ---\n", s_logfile);
    std::fflush(s_logfile);
}

void twr_log(int level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

// The wrappers format first and then pass the text through "%s", so a "%"
// that a caller's argument brings in is never read as a conversion.
#define TWR_LOG_WRAPPER(name, level)                  \
    void name(const char *format, ...) {              \
        if (dropped(level)) return;                   \
        char text[kMessageSize];                      \
        va_list args;                                 \
        va_start(args, format);                       \
        format_into(text, format, args);              \
        va_end(args);                                 \
        twr_log(level, "%s", text);                   \
    }

TWR_LOG_WRAPPER(twr_log_error, TWR_LOG_ERROR)
TWR_LOG_WRAPPER(twr_log_warn, TWR_LOG_WARN)
TWR_LOG_WRAPPER(twr_log_info, TWR_LOG_INFO)
TWR_LOG_WRAPPER(twr_log_debug, TWR_LOG_DEBUG)
#undef TWR_LOG_WRAPPER
