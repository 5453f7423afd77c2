/* The relay's settings: one fixed-size record and its JSON file.
 *
 * The caller owns the record (a local or a member of its own state); it holds
 * no pointers and needs no release. Fill it with twrelay_config_defaults, then
 * let twrelay_config_load merge a file over it: each key present with the right
 * type replaces one field, everything else stays. twrelay_config_save writes
 * the record back as formatted JSON readable by its owner only (mode 0600).
 * Text fields are always NUL-terminated; longer values are cut to fit.
 *
 * The default file lives in "$XDG_CONFIG_HOME/twrelay" when that variable is
 * set and not empty, otherwise in "$HOME/.config/twrelay" when HOME is set
 * (even empty), otherwise in ".". A successful load or save is announced at
 * the information level of the log; failures are only returned.
 *
 * Threads: distinct records may be used from distinct threads at once, each
 * loading and saving its own file. One record is the caller's to serialise,
 * like any plain variable. Two saves to one path at once each replace the
 * file whole, and the later rename wins. The default paths are read from the
 * environment: no thread may change it (setenv, putenv) meanwhile. */
#ifndef RELAY_CONFIG_H
#define RELAY_CONFIG_H

#include <stdint.h>

#include "relay/twr_common.h"

#define TWR_MAX_CLIENTS 4
#define TWR_AVATAR_SIZE 24          /* pixels, square */
#define TWR_GUILD_ICON_SIZE 32      /* pixels, square */
#define TWR_MAX_ATTACH_W 200        /* pixels */
#define TWR_MAX_ATTACH_H 200        /* pixels */
#define TWR_MAX_MSGS_PER_FETCH 25

#ifdef __cplusplus
extern "C" {
#endif

typedef struct twrelay_config_t {
    char bind_host[64]; /* "0.0.0.0" by default */
    uint16_t port;       /* Mac clients; 2002 by default */
    uint16_t setup_port; /* setup listener; 2003 by default */
    int32_t max_clients;
    char token_path[256];  /* stored and saved only; the token file is never opened here */
    char config_path[256]; /* where the file lives; never written to or read from it */
    int32_t log_level;     /* a TWR_LOG_* threshold */
    int32_t auto_start;    /* host-application flags, 0 or 1 */
    int32_t start_minimized;
    int32_t run_on_boot;
    int32_t avatar_size;
    int32_t guild_icon_size;
    int32_t max_attach_w;
    int32_t max_attach_h;
    int32_t max_msgs_per_fetch;
} twrelay_config_t;

/* Clears the whole record, sets every field to its default, then sets the two
 * paths as twrelay_config_set_default_paths does. A NULL cfg is ignored. */
void twrelay_config_defaults(twrelay_config_t *cfg);

/* Sets config_path to "<dir>/config.json" and token_path to "<dir>/token.json"
 * with the directory found from the environment (see above), each cut to 255
 * bytes. Creates nothing on disk. A NULL cfg is ignored. */
void twrelay_config_set_default_paths(twrelay_config_t *cfg);

/* Merges the JSON file at path over *cfg. Returns TWR_OK; TWR_ERR_CONFIG when
 * cfg or path is NULL, or the path cannot be opened, is not a regular file (a
 * directory or a FIFO is refused without blocking), is empty or larger than
 * 65536 bytes, cannot be read or does not hold JSON (a parser out of memory
 * reads as that too); TWR_ERR_NOMEM when there is no memory for the file's
 * text. On any failure *cfg is left exactly as it was. A top-level value that
 * is not an object loads with TWR_OK and changes nothing. Numbers are cut
 * toward zero; port and setup_port keep the low 16 bits; a flag becomes 1 only
 * for the JSON literal true, and 0 for any other value present. */
int twrelay_config_load(twrelay_config_t *cfg, const char *path);

/* Writes *cfg (every field but config_path) to path as formatted JSON with
 * mode 0600, creating the file's directory first when only its last level is
 * missing (mode 0755). The file is replaced whole: the text goes to a
 * temporary ".twrelay-XXXXXX" beside it, which is synced and renamed over
 * path, so a crash or a full disk leaves the previous file intact (a symbolic
 * link at path is replaced, not written through). Returns TWR_OK;
 * TWR_ERR_NOMEM when memory runs out; TWR_ERR_IO when cfg or path is NULL or
 * any step of writing fails, in which case the temporary file is removed and
 * path is untouched. *cfg is only read. */
int twrelay_config_save(const twrelay_config_t *cfg, const char *path);

#ifdef __cplusplus
}
#endif

#endif
