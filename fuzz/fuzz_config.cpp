// Configuration loading on arbitrary file contents. Properties: a failed
// load leaves the record byte for byte as it was; a successful one leaves
// every text field terminated; and what loaded saves and loads back equal.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "relay/config.h"
#include "relay/log.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

bool terminated(const char *field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

// One scratch directory per process, on tmpfs when there is one (each save
// syncs its file), removed with its files when the process exits.
std::string g_dir;

void remove_scratch() {
    for (const char *name : {"/input.json", "/saved.json"}) unlink((g_dir + name).c_str());
    rmdir(g_dir.c_str());
}

const std::string &scratch_dir() {
    if (g_dir.empty()) {
        std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/twrelay-fuzz-XXXXXX" : "/tmp/twrelay-fuzz-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) std::abort();
        g_dir = tmpl;
        std::atexit(remove_scratch);
    }
    return g_dir;
}

bool write_file(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool same_saved_fields(const twrelay_config_t &a, const twrelay_config_t &b) {
    return std::strcmp(a.bind_host, b.bind_host) == 0 && a.port == b.port && a.setup_port == b.setup_port &&
           a.max_clients == b.max_clients && a.log_level == b.log_level &&
           std::strcmp(a.token_path, b.token_path) == 0 && a.auto_start == b.auto_start &&
           a.start_minimized == b.start_minimized && a.run_on_boot == b.run_on_boot &&
           a.avatar_size == b.avatar_size && a.guild_icon_size == b.guild_icon_size &&
           a.max_attach_w == b.max_attach_w && a.max_attach_h == b.max_attach_h &&
           a.max_msgs_per_fetch == b.max_msgs_per_fetch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool quiet = [] {
        twr_log_set_level(TWR_LOG_ERROR);  // no "Config loaded" line per input
        return true;
    }();
    (void)quiet;
    const std::string input = scratch_dir() + "/input.json";
    const std::string saved = scratch_dir() + "/saved.json";
    if (!write_file(input, data, size)) std::abort();

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    twrelay_config_t before;
    std::memcpy(&before, &cfg, sizeof cfg);
    const int rc = twrelay_config_load(&cfg, input.c_str());
    if (rc != TWR_OK) {
        require(rc == TWR_ERR_CONFIG || rc == TWR_ERR_NOMEM);
        require(std::memcmp(&before, &cfg, sizeof cfg) == 0);
        return 0;
    }
    require(terminated(cfg.bind_host, sizeof cfg.bind_host));
    require(terminated(cfg.token_path, sizeof cfg.token_path));
    require(cfg.auto_start == 0 || cfg.auto_start == 1);

    require(twrelay_config_save(&cfg, saved.c_str()) == TWR_OK);
    twrelay_config_t again;
    twrelay_config_defaults(&again);
    require(twrelay_config_load(&again, saved.c_str()) == TWR_OK);
    require(same_saved_fields(cfg, again));
    return 0;
}
