// UTF-8 to Mac OS Roman: every code point against glibc's "MACINTOSH"
// converter, and the malformed input of tests/data/macroman_rows.txt.
// Truncation, conversion in place and the block path are properties in
// fuzz/fuzz_text.cpp.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <string>
#include <vector>

#include "relay/macroman.h"
#include "support/test_support.h"

namespace {

std::string convert(const std::string &in) {
    char out[64];
    return std::string(out, utf8_to_macroman(in.c_str(), out, sizeof out));
}

// The 48 bytes of the chart's upper half that are left out on purpose (Greek
// and math symbols, the Apple logo, ligatures, spacing accents, and Á, È, Í).
// glibc follows an older chart at 0xC6 and 0xF0; both are left out.
const std::string kLeftOut =
    "\xAD\xB0\xB1\xB2\xB3\xB4\xB5\xB6\xB7\xB8\xB9\xBA\xBB\xBC\xBD\xC2\xC3\xC4\xC5\xC6\xCA\xD7\xD9\xDA"
    "\xDC\xDD\xDE\xDF\xE0\xE1\xE2\xE3\xE4\xE7\xE9\xEA\xF0\xF5\xF6\xF7\xF8\xF9\xFA\xFB\xFC\xFD\xFE\xFF";

// From U+0080 to U+10FFFF, surrogates included: a character glibc puts at a
// byte that is not left out gives that byte, every other one "?".
TEST(MacRomanTable, EveryCodePointGivesTheByteGlibcGivesUnlessLeftOut) {
    const iconv_t cd = iconv_open("MACINTOSH", "UTF-8");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    size_t listed = 0;
    for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
        std::string in = test_support::utf8(cp);
        char byte = '?', *in_p = in.data(), *out_p = &byte;
        size_t in_left = in.size(), out_left = 1;
        if (iconv(cd, &in_p, &in_left, &out_p, &out_left) == size_t(-1) || kLeftOut.find(byte) != kLeftOut.npos) byte = '?';
        listed += byte != '?';
        ASSERT_EQ(convert(in), std::string(1, byte)) << "U+" << std::hex << cp;
    }
    iconv_close(cd);
    EXPECT_EQ(listed, 80u);
}

TEST(MacRoman, EveryRowOfMalformedInputGivesItsOutput) {
    for (const std::vector<std::string> &row : test_support::data_rows("macroman_rows.txt"))
        EXPECT_EQ(convert(row.at(1)), row.at(2)) << row[0];
}

}  // namespace
