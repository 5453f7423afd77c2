// The self-check's own reporting, transcript and exit status against
// tests/data/: a fixture built with deliberately failing cases (failure
// lines, tally), and the real battery (seven suites of 33, 16, 13, 12, 12, 13
// and 8 cases, in order, every case passing). A difference shows as a diff.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// The program's standard output and exit status, the source directory
// written @SOURCE@, against the file's text; a difference shows as a diff.
#define MATCHES(program, file)                                                                \
    "(" program " 2>/dev/null; echo \"exit status $?\")"                                        \
    " | sed 's|" TWRELAY_SOURCE_DIR "/|@SOURCE@/|' | diff " TWRELAY_SOURCE_DIR "/tests/data/" file " -"

TEST(SelfcheckRunner, FixtureAndBatteryTranscriptsAreExact) {
    for (const char *check : {MATCHES(SELFCHECK_FIXTURE, "selfcheck_fixture.txt"), MATCHES(SELFCHECK_BINARY, "selfcheck_battery.txt")}) {
        const test_support::CommandRun run = test_support::run_command(check);
        EXPECT_EQ(run.out, "") << check;
        EXPECT_EQ(run.status, 0) << check;
    }
}

}  // namespace
