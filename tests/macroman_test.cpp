// UTF-8 to Mac OS Roman: every code point against the chart of
// tests/data/macroman_chart.txt, and the malformed input of
// tests/data/macroman_rows.txt.
// Truncation, conversion in place and the block path are properties in
// fuzz/fuzz_text.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "relay/macroman.h"
#include "support/test_support.h"

namespace {

std::string convert(const std::string &in) {
    char out[64];
    return std::string(out, utf8_to_macroman(in.c_str(), out, sizeof out));
}

// From U+0080 to U+10FFFF, surrogates included.
TEST(MacRomanTable, EveryCodePointGivesItsChartByteOrAQuestionMark) {
    std::map<uint32_t, std::string> chart;
    for (const std::vector<std::string> &row : test_support::data_rows("macroman_chart.txt"))
        chart[uint32_t(std::stoul(row.at(0), nullptr, 16))] = row.at(1);
    ASSERT_EQ(chart.size(), 80u);
    for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp)
        ASSERT_EQ(convert(test_support::utf8(cp)), chart.count(cp) != 0 ? chart[cp] : "?") << "U+" << std::hex << cp;
}

TEST(MacRoman, EveryRowOfMalformedInputGivesItsOutput) {
    for (const std::vector<std::string> &row : test_support::data_rows("macroman_rows.txt"))
        EXPECT_EQ(convert(row.at(1)), row.at(2)) << row[0];
}

}  // namespace
