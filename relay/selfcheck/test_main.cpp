// Entry point of the self-check: banner, the suites in their fixed order,
// tally. Exit status 0 when no check failed, 1 otherwise.
#include <cstdio>

#include "relay/selfcheck/selfcheck.h"

int g_tests = 0;
int g_failures = 0;

namespace {
constexpr const char *kRule = "============================";  // 28 '='
}  // namespace

int main(void) {
    std::printf("Tarnwick Relay \xE2\x80\x94 Unit Tests\n");  // U+2014 EM DASH
    std::printf("%s\n", kRule);

    run_twl_tests();
    run_hashmap_tests();
    run_id_mapper_tests();
    run_text_tests();
    run_config_tests();

    std::printf("\n%s\n", kRule);
    std::printf("Results: %d tests, %d failures\n", g_tests, g_failures);
    if (g_failures <= 0) {
        std::printf("ALL PASSED\n");
        return 0;
    }
    std::printf("FAILED\n");
    return 1;
}
