// Small helpers shared by the unit tests.
#ifndef TWRELAY_TESTS_TEST_SUPPORT_H
#define TWRELAY_TESTS_TEST_SUPPORT_H

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace test_support {

// The UTF-8 bytes of one code point, written out by the encoding rules (no
// range or surrogate checks: tests use it to build malformed input too).
inline std::string utf8(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += char(cp);
    } else if (cp < 0x800) {
        s += char(0xC0 | cp >> 6);
        s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += char(0xE0 | cp >> 12);
        s += char(0x80 | (cp >> 6 & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    } else {
        s += char(0xF0 | cp >> 18);
        s += char(0x80 | (cp >> 12 & 0x3F));
        s += char(0x80 | (cp >> 6 & 0x3F));
        s += char(0x80 | (cp & 0x3F));
    }
    return s;
}

struct CommandRun {
    std::string out;  // everything the command wrote to standard output
    int status = -1;  // its exit status, or -1 when it did not exit normally
};

// Runs a shell command line and captures its standard output.
inline CommandRun run_command(const std::string &command) {
    CommandRun run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

}  // namespace test_support

#endif
