// Configuration loading on arbitrary file contents. A failed load leaves the
// record byte for byte as it was; a successful one leaves the text fields
// terminated and the flags 0 or 1, and the record it gives saves and loads
// back byte for byte over the defaults (which set every byte of a record).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "relay/config.h"
#include "relay/log.h"

#include "fuzz_support.h"

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Scratch files named for the process, on tmpfs when there is one: each save syncs its file.
    static const std::string base =
        (access("/dev/shm", W_OK) == 0 ? "/dev/shm/twrelay-fuzz-" : "/tmp/twrelay-fuzz-") + std::to_string(getpid());
    static const bool quiet = (twr_log_set_level(TWR_LOG_ERROR), true);  // no notice per input
    const std::string input = base + ".in", saved = base + ".json";
    FILE *f = std::fopen(input.c_str(), "wb");
    require(quiet && f != nullptr && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0);

    twrelay_config_t cfg;
    std::memset(&cfg, 0xA5, sizeof cfg);  // the defaults set every byte, whatever the record held
    twrelay_config_defaults(&cfg);
    twrelay_config_t before = cfg;
    const int rc = twrelay_config_load(&cfg, input.c_str());
    unlink(input.c_str());
    if (rc != TWR_OK) {
        require((rc == TWR_ERR_CONFIG || rc == TWR_ERR_NOMEM) && std::memcmp(&before, &cfg, sizeof cfg) == 0);
        return 0;
    }
    require(std::memchr(cfg.bind_host, 0, sizeof cfg.bind_host) && std::memchr(cfg.token_path, 0, sizeof cfg.token_path));
    for (int32_t flag : {cfg.auto_start, cfg.start_minimized, cfg.run_on_boot}) require(flag == 0 || flag == 1);
    // config_path is not saved: both records keep the default.
    require(twrelay_config_save(&cfg, saved.c_str()) == TWR_OK && twrelay_config_load(&before, saved.c_str()) == TWR_OK);
    unlink(saved.c_str());
    require(std::memcmp(&before, &cfg, sizeof cfg) == 0);
    return 0;
}
