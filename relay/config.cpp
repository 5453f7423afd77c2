#include "relay/config.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "relay/log.h"

namespace {

// The whole file is read into one buffer; a settings file has no business
// being larger, and the bound keeps a stray path from eating memory.
constexpr off_t kMaxFileSize = 65536;
constexpr size_t kPathSize = 256;  // the record's path fields and ensure_dir's copy
constexpr char kTempName[] = ".twrelay-XXXXXX";

// The JSON parser records where its last parse failed in a variable of its
// own, process-wide and unlocked, that every parse writes; loads in several
// threads take turns at the parse so they never write it at once.
std::mutex s_parse_lock;

cJSON *parse(const char *text) {
    const std::lock_guard hold(s_parse_lock);
    return cJSON_Parse(text);
}

// Copies at most cap - 1 bytes of src and zero-fills the rest of dst, so a
// record's bytes depend only on its values. Reads no further than cap - 1
// bytes of src, which therefore need not be terminated within that span.
void copy_text(char *dst, size_t cap, const char *src) {
    const size_t len = strnlen(src, cap - 1);
    std::memcpy(dst, src, len);
    std::memset(dst + len, 0, cap - len);
}

// dst = dir, sep, name, cut to cap - 1 bytes like a single copy would be.
void join_path(char *dst, size_t cap, const char *dir, char sep, const char *name) {
    const char sep_text[2] = {sep, '\0'};
    size_t used = 0;
    for (const char *part : {dir, sep_text, name}) {
        const size_t len = strnlen(part, cap - 1 - used);
        std::memcpy(dst + used, part, len);
        used += len;
    }
    std::memset(dst + used, 0, cap - used);
}

// Creates the directory that would hold path, one level only: a missing
// parent is not created, and every failure (it exists, no parent, no right)
// is left for the save itself to run into.
void ensure_dir(const char *path) {
    char dir[kPathSize];
    copy_text(dir, sizeof dir, path);
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr) return;
    *slash = '\0';
    (void)mkdir(dir, 0755);
}

// Reads the whole regular file at path into a malloc'd, NUL-terminated
// buffer. Anything else (a directory, a FIFO, a device) is refused before a
// read could block on it; the stat ahead of the open spares devices whose
// open has side effects, and the fstat after it closes the race between them.
int read_file(const char *path, char **out) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return TWR_ERR_CONFIG;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return TWR_ERR_CONFIG;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1 || st.st_size > kMaxFileSize) {
        close(fd);
        return TWR_ERR_CONFIG;
    }
    const size_t size = size_t(st.st_size);
    char *buf = static_cast<char *>(std::malloc(size + 1));
    if (buf == nullptr) {
        close(fd);
        return TWR_ERR_NOMEM;
    }
    // The file may shrink under us; what was read is what gets parsed.
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, buf + got, size - got);
        if (n > 0) {
            got += size_t(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            std::free(buf);
            close(fd);
            return TWR_ERR_CONFIG;
        }
    }
    close(fd);
    buf[got] = '\0';
    *out = buf;
    return TWR_OK;
}

// The item under key (matched without regard to ASCII case, first member
// wins) when it is a number; null for a missing key, another type, or a
// top-level value that is not an object.
const cJSON *number_item(const cJSON *root, const char *key) {
    const cJSON *item = cJSON_GetObjectItem(root, key);
    return cJSON_IsNumber(item) ? item : nullptr;
}

const char *string_value(const cJSON *root, const char *key) {
    const cJSON *item = cJSON_GetObjectItem(root, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// valueint is the number cut toward zero and held within the 32-bit range;
// no field is range-checked, so a port keeps just the low 16 bits.
void take_int(const cJSON *root, const char *key, int32_t &field) {
    if (const cJSON *item = number_item(root, key)) field = item->valueint;
}

void take_port(const cJSON *root, const char *key, uint16_t &field) {
    if (const cJSON *item = number_item(root, key)) field = uint16_t(item->valueint);
}

// A flag is set only by the literal true; any other value present (1,
// "true", null) clears it, while an absent key leaves it alone.
void take_flag(const cJSON *root, const char *key, int32_t &field) {
    if (const cJSON *item = cJSON_GetObjectItem(root, key)) field = cJSON_IsTrue(item) ? 1 : 0;
}

void apply(const cJSON *root, twrelay_config_t &cfg) {
    if (const char *s = string_value(root, "bind_host")) copy_text(cfg.bind_host, sizeof cfg.bind_host, s);
    take_port(root, "port", cfg.port);
    take_port(root, "setup_port", cfg.setup_port);
    take_int(root, "max_clients", cfg.max_clients);
    take_int(root, "log_level", cfg.log_level);
    if (const char *s = string_value(root, "token_path")) copy_text(cfg.token_path, sizeof cfg.token_path, s);
    take_flag(root, "auto_start", cfg.auto_start);
    take_flag(root, "start_minimized", cfg.start_minimized);
    take_flag(root, "run_on_boot", cfg.run_on_boot);
    take_int(root, "avatar_size", cfg.avatar_size);
    take_int(root, "guild_icon_size", cfg.guild_icon_size);
    take_int(root, "max_attach_w", cfg.max_attach_w);
    take_int(root, "max_attach_h", cfg.max_attach_h);
    take_int(root, "max_msgs_per_fetch", cfg.max_msgs_per_fetch);
}

// The formatted text of the record: one member per line in this fixed order,
// config_path left out. Every member must make it in: a file silently missing
// one would reload that setting as its default. Null when memory runs out.
char *render(const twrelay_config_t &cfg) {
    // The text fields are copied so that an unterminated one cannot be read
    // past its end.
    char host[sizeof cfg.bind_host];
    char token[sizeof cfg.token_path];
    copy_text(host, sizeof host, cfg.bind_host);
    copy_text(token, sizeof token, cfg.token_path);

    cJSON *obj = cJSON_CreateObject();
    if (obj == nullptr) return nullptr;
    const bool complete = cJSON_AddStringToObject(obj, "bind_host", host) != nullptr &&
                          cJSON_AddNumberToObject(obj, "port", cfg.port) != nullptr &&
                          cJSON_AddNumberToObject(obj, "setup_port", cfg.setup_port) != nullptr &&
                          cJSON_AddNumberToObject(obj, "max_clients", cfg.max_clients) != nullptr &&
                          cJSON_AddNumberToObject(obj, "log_level", cfg.log_level) != nullptr &&
                          cJSON_AddStringToObject(obj, "token_path", token) != nullptr &&
                          cJSON_AddBoolToObject(obj, "auto_start", cfg.auto_start) != nullptr &&
                          cJSON_AddBoolToObject(obj, "start_minimized", cfg.start_minimized) != nullptr &&
                          cJSON_AddBoolToObject(obj, "run_on_boot", cfg.run_on_boot) != nullptr &&
                          cJSON_AddNumberToObject(obj, "avatar_size", cfg.avatar_size) != nullptr &&
                          cJSON_AddNumberToObject(obj, "guild_icon_size", cfg.guild_icon_size) != nullptr &&
                          cJSON_AddNumberToObject(obj, "max_attach_w", cfg.max_attach_w) != nullptr &&
                          cJSON_AddNumberToObject(obj, "max_attach_h", cfg.max_attach_h) != nullptr &&
                          cJSON_AddNumberToObject(obj, "max_msgs_per_fetch", cfg.max_msgs_per_fetch) != nullptr;
    char *text = complete ? cJSON_Print(obj) : nullptr;
    cJSON_Delete(obj);
    return text;
}

bool write_all(int fd, const char *data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= size_t(n);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Length of path's directory part including its last "/", or 0 when path
// names a file in the working directory.
size_t dir_prefix_len(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : size_t(slash - path) + 1;
}

// Makes the rename itself durable. Best effort: by now the new file is in
// place, so a failure here changes nothing the caller could act on.
void sync_dir(const char *path, size_t dir_len) {
    char *dir = static_cast<char *>(std::malloc(dir_len + 2));
    if (dir == nullptr) return;
    if (dir_len == 0) {
        std::memcpy(dir, ".", 2);
    } else {
        std::memcpy(dir, path, dir_len);
        dir[dir_len] = '\0';
    }
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
    std::free(dir);
}

// Replaces path with text in one step. The text goes to a fresh file beside
// path (same directory, so the rename cannot cross file systems), created
// with mode 0600 from the start so the settings are never readable by others
// even for a moment; it is synced before the rename, so after a crash the
// file is either the old one or the new one, whole. On any failure the
// temporary file is removed and path is left as it was.
int replace_file(const char *path, const char *text) {
    const size_t dir_len = dir_prefix_len(path);
    char *tmp = static_cast<char *>(std::malloc(dir_len + sizeof kTempName));
    if (tmp == nullptr) return TWR_ERR_NOMEM;
    std::memcpy(tmp, path, dir_len);
    std::memcpy(tmp + dir_len, kTempName, sizeof kTempName);

    // mkostemp opens with O_CREAT | O_EXCL and mode 0600: never an existing
    // file, never a window with wider permissions.
    const int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        std::free(tmp);
        return TWR_ERR_IO;
    }
    // A umask could have taken the owner's write bit; the file is 0600 exactly.
    (void)fchmod(fd, 0600);
    bool ok = write_all(fd, text, std::strlen(text)) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && std::rename(tmp, path) != 0) ok = false;
    if (ok) {
        sync_dir(path, dir_len);
    } else {
        (void)unlink(tmp);
    }
    std::free(tmp);
    return ok ? TWR_OK : TWR_ERR_IO;
}

}  // namespace

void twrelay_config_defaults(twrelay_config_t *cfg) {
    if (cfg == nullptr) return;
    std::memset(cfg, 0, sizeof *cfg);
    copy_text(cfg->bind_host, sizeof cfg->bind_host, "0.0.0.0");
    cfg->port = 2002;
    cfg->setup_port = 2003;
    cfg->max_clients = TWR_MAX_CLIENTS;
    cfg->log_level = TWR_LOG_INFO;
    cfg->auto_start = 0;
    cfg->start_minimized = 0;
    cfg->run_on_boot = 0;
    cfg->avatar_size = TWR_AVATAR_SIZE;
    cfg->guild_icon_size = TWR_GUILD_ICON_SIZE;
    cfg->max_attach_w = TWR_MAX_ATTACH_W;
    cfg->max_attach_h = TWR_MAX_ATTACH_H;
    cfg->max_msgs_per_fetch = TWR_MAX_MSGS_PER_FETCH;
    twrelay_config_set_default_paths(cfg);
}

void twrelay_config_set_default_paths(twrelay_config_t *cfg) {
    if (cfg == nullptr) return;
    // An empty XDG_CONFIG_HOME means unset, but an empty HOME still counts:
    // it puts the directory at "/.config/twrelay".
    char dir[kPathSize];
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    const char *home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] != '\0') {
        std::snprintf(dir, sizeof dir, "%s/twrelay", xdg);
    } else if (home != nullptr) {
        std::snprintf(dir, sizeof dir, "%s/.config/twrelay", home);
    } else {
        copy_text(dir, sizeof dir, ".");
    }
    join_path(cfg->config_path, sizeof cfg->config_path, dir, '/', "config.json");
    join_path(cfg->token_path, sizeof cfg->token_path, dir, '/', "token.json");
}

int twrelay_config_load(twrelay_config_t *cfg, const char *path) {
    if (cfg == nullptr || path == nullptr) return TWR_ERR_CONFIG;
    char *text = nullptr;
    const int rc = read_file(path, &text);
    if (rc != TWR_OK) return rc;
    cJSON *root = parse(text);
    std::free(text);
    if (root == nullptr) return TWR_ERR_CONFIG;
    // The keys go to a copy that replaces the record only once the load has
    // succeeded, so a failing load can never leave it half merged.
    twrelay_config_t merged;
    std::memcpy(&merged, cfg, sizeof merged);
    apply(root, merged);
    cJSON_Delete(root);
    std::memcpy(cfg, &merged, sizeof merged);
    twr_log_info("Config loaded from %s", path);
    return TWR_OK;
}

int twrelay_config_save(const twrelay_config_t *cfg, const char *path) {
    if (cfg == nullptr || path == nullptr) return TWR_ERR_IO;
    ensure_dir(path);
    char *text = render(*cfg);
    if (text == nullptr) return TWR_ERR_NOMEM;
    const int rc = replace_file(path, text);
    cJSON_free(text);
    if (rc == TWR_OK) twr_log_info("Config saved to %s", path);
    return rc;
}
