// The "Config" suite: defaults, default paths, a save read back, and the
// load's answers to a missing, partial, invalid or empty file and to flags.
// Scratch files live under /tmp, named with the process id; each case that
// writes one removes it as its last step.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "relay/config.h"
#include "relay/log.h"
#include "relay/selfcheck/selfcheck.h"

namespace {

void temp_path(char *buffer, size_t size, const char *name) {
    std::snprintf(buffer, size, "/tmp/%s_%d.json", name, int(getpid()));
}

void test_config_defaults(void) {
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    ASSERT_STR_EQ(cfg.bind_host, "0.0.0.0");
    ASSERT_EQ(cfg.port, 2002);
    ASSERT_EQ(cfg.setup_port, 2003);
    ASSERT_EQ(cfg.max_clients, TWR_MAX_CLIENTS);
    ASSERT_EQ(cfg.log_level, TWR_LOG_INFO);
    ASSERT_EQ(cfg.auto_start, 0);
    ASSERT_EQ(cfg.start_minimized, 0);
    ASSERT_EQ(cfg.run_on_boot, 0);
    ASSERT_EQ(cfg.avatar_size, TWR_AVATAR_SIZE);
    ASSERT_EQ(cfg.guild_icon_size, TWR_GUILD_ICON_SIZE);
    ASSERT_EQ(cfg.max_attach_w, TWR_MAX_ATTACH_W);
    ASSERT_EQ(cfg.max_attach_h, TWR_MAX_ATTACH_H);
    ASSERT_EQ(cfg.max_msgs_per_fetch, TWR_MAX_MSGS_PER_FETCH);
}

void test_config_default_paths_set(void) {
    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    ASSERT_TRUE(strlen(cfg.config_path) > 0);
    ASSERT_TRUE(strlen(cfg.token_path) > 0);
}

void test_config_save_load_roundtrip(void) {
    char path[512];
    temp_path(path, sizeof path, "twrelay_test");

    twrelay_config_t cfg_out;
    twrelay_config_defaults(&cfg_out);
    cfg_out.port = 9999;
    cfg_out.setup_port = 8888;
    cfg_out.max_clients = 2;
    cfg_out.log_level = TWR_LOG_DEBUG;
    cfg_out.avatar_size = 48;
    std::strncpy(cfg_out.bind_host, "127.0.0.1", sizeof cfg_out.bind_host - 1);

    int rc = twrelay_config_save(&cfg_out, path);
    ASSERT_EQ(rc, TWR_OK);

    twrelay_config_t cfg_in;
    twrelay_config_defaults(&cfg_in);
    rc = twrelay_config_load(&cfg_in, path);
    ASSERT_EQ(rc, TWR_OK);
    ASSERT_EQ(cfg_in.port, 9999);
    ASSERT_EQ(cfg_in.setup_port, 8888);
    ASSERT_EQ(cfg_in.max_clients, 2);
    ASSERT_EQ(cfg_in.log_level, TWR_LOG_DEBUG);
    ASSERT_EQ(cfg_in.avatar_size, 48);
    ASSERT_STR_EQ(cfg_in.bind_host, "127.0.0.1");

    unlink(path);
}

void test_config_load_nonexistent(void) {
    char path[512];
    temp_path(path, sizeof path, "nonexistent_twrelay_cfg_12345");

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    int rc = twrelay_config_load(&cfg, path);
    ASSERT_EQ(rc, TWR_ERR_CONFIG);
    ASSERT_EQ(cfg.port, 2002);
}

void test_config_load_partial_json(void) {
    char path[512];
    temp_path(path, sizeof path, "twrelay_partial");

    FILE *f = std::fopen(path, "w");
    ASSERT_NOT_NULL(f);
    std::fputs("{\"port\": 5555}", f);
    std::fclose(f);

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    int rc = twrelay_config_load(&cfg, path);
    ASSERT_EQ(rc, TWR_OK);
    ASSERT_EQ(cfg.port, 5555);
    ASSERT_EQ(cfg.setup_port, 2003);
    ASSERT_STR_EQ(cfg.bind_host, "0.0.0.0");

    unlink(path);
}

void test_config_load_invalid_json(void) {
    char path[512];
    temp_path(path, sizeof path, "twrelay_bad");

    FILE *f = std::fopen(path, "w");
    ASSERT_NOT_NULL(f);
    std::fputs("this is not json {{{{", f);
    std::fclose(f);

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    int rc = twrelay_config_load(&cfg, path);
    ASSERT_EQ(rc, TWR_ERR_CONFIG);
    ASSERT_EQ(cfg.port, 2002);

    unlink(path);
}

void test_config_load_empty_file(void) {
    char path[512];
    temp_path(path, sizeof path, "twrelay_empty");

    FILE *f = std::fopen(path, "w");
    ASSERT_NOT_NULL(f);
    std::fclose(f);

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    int rc = twrelay_config_load(&cfg, path);
    ASSERT_EQ(rc, TWR_ERR_CONFIG);

    unlink(path);
}

void test_config_booleans(void) {
    char path[512];
    temp_path(path, sizeof path, "twrelay_bool");

    FILE *f = std::fopen(path, "w");
    ASSERT_NOT_NULL(f);
    std::fputs("{\"auto_start\": true, \"start_minimized\": true, \"run_on_boot\": false}", f);
    std::fclose(f);

    twrelay_config_t cfg;
    twrelay_config_defaults(&cfg);
    int rc = twrelay_config_load(&cfg, path);
    ASSERT_EQ(rc, TWR_OK);
    ASSERT_TRUE(cfg.auto_start);
    ASSERT_TRUE(cfg.start_minimized);
    ASSERT_FALSE(cfg.run_on_boot);

    unlink(path);
}

}  // namespace

void run_config_tests(void) {
    selfcheck::suite_title("Config");
    RUN_CASE(test_config_defaults);
    RUN_CASE(test_config_default_paths_set);
    RUN_CASE(test_config_save_load_roundtrip);
    RUN_CASE(test_config_load_nonexistent);
    RUN_CASE(test_config_load_partial_json);
    RUN_CASE(test_config_load_invalid_json);
    RUN_CASE(test_config_load_empty_file);
    RUN_CASE(test_config_booleans);
}
