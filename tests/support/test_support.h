// Small helpers shared by the unit tests.
#ifndef TWRELAY_TESTS_TEST_SUPPORT_H
#define TWRELAY_TESTS_TEST_SUPPORT_H

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

// The UTF-8 bytes of one code point, written out by the encoding rules (no
// range or surrogate checks: tests use it to build malformed input too).
inline std::string utf8(uint32_t cp) {
    if (cp < 0x80) return std::string(1, char(cp));
    const size_t n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    std::string s(n, '\0');
    for (size_t k = n - 1; k > 0; --k, cp >>= 6) s[k] = char(0x80 | (cp & 0x3F));
    s[0] = char((0xFF00 >> n & 0xFF) | cp);  // the lead: n ones, a zero, the top bits
    return s;
}

// The whole of a file; empty when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
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
    for (int c; (c = fgetc(pipe)) != EOF;) run.out += char(c);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// The rows of tests/data/<file>, one a line: fields separated by tabs, each
// byte outside printable ASCII (and every backslash) written \xNN. Lines that
// start with "#" are comments.
inline std::vector<std::vector<std::string>> data_rows(const std::string &file) {
    std::ifstream in(TWRELAY_SOURCE_DIR "/tests/data/" + file);
    if (!in) throw std::runtime_error("cannot read tests/data/" + file);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        rows.emplace_back(1);
        for (size_t i = 0, step = 1; i < line.size(); i += step) {
            step = line.compare(i, 2, "\\x") == 0 ? 4 : 1;
            if (line[i] == '\t') rows.back().emplace_back();
            else rows.back().back() += step == 1 ? line[i] : char(std::stoi(line.substr(i + 2, 2), nullptr, 16));
        }
    }
    return rows;
}

}  // namespace test_support

#endif
