// UTF-8 to Mac OS Roman, checked against glibc's own "MACINTOSH" converter
// and against a plain one-character-at-a-time version of the conversion.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "relay/macroman.h"
#include "support/test_support.h"

namespace {

using test_support::utf8;

// The bytes stored by one conversion into a buffer of out_size bytes.
std::string convert(const std::string &in, size_t out_size = 512) {
    std::vector<char> out(out_size, 'Z');
    const size_t n = utf8_to_macroman(in.c_str(), out.data(), out_size);
    EXPECT_LT(n, out_size);
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
}

// glibc's converter between two character sets; empty when it refuses.
std::string iconv_convert(const char *to, const char *from, const std::string &in) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
        return {};
    }
    std::string src = in;
    std::string out(in.size() * 4 + 8, '\0');
    char *inp = src.data(), *outp = out.data();
    size_t in_left = src.size(), out_left = out.size();
    const size_t rc = iconv(cd, &inp, &in_left, &outp, &out_left);
    iconv_close(cd);
    if (rc == size_t(-1)) return {};
    out.resize(out.size() - out_left);
    return out;
}

struct cp_range {
    uint32_t first, last;
};

std::vector<uint32_t> expand(std::initializer_list<cp_range> ranges) {
    std::vector<uint32_t> cps;
    for (const cp_range &r : ranges)
        for (uint32_t cp = r.first; cp <= r.last; ++cp) cps.push_back(cp);
    return cps;
}

// The characters the clients are sent, as the character list gives them.
const std::vector<uint32_t> kTableCodePoints = expand({
    {0xA1, 0xA3}, {0xA7, 0xA9}, {0xAB, 0xAB}, {0xAE, 0xAE}, {0xB0, 0xB0}, {0xB4, 0xB4}, {0xB6, 0xB6},
    {0xBB, 0xBB}, {0xBF, 0xBF}, {0xC0, 0xC0}, {0xC2, 0xC7}, {0xC9, 0xCC}, {0xCE, 0xCF}, {0xD1, 0xD6},
    {0xD8, 0xDC}, {0xDF, 0xEF}, {0xF1, 0xFC}, {0xFF, 0xFF}, {0x152, 0x153}, {0x2013, 0x2014},
    {0x2018, 0x2019}, {0x201C, 0x201D}, {0x2020, 0x2020}, {0x2022, 0x2022}, {0x2026, 0x2026},
    {0x20AC, 0x20AC}, {0x2122, 0x2122},
});

// The rest of Mac OS Roman's upper half, left out on purpose.
const std::vector<uint32_t> kLeftOut = expand({
    {0xA0, 0xA0}, {0xA5, 0xA5}, {0xAA, 0xAA}, {0xAC, 0xAC}, {0xAF, 0xAF}, {0xB1, 0xB1}, {0xB5, 0xB5},
    {0xB7, 0xB8}, {0xBA, 0xBA}, {0xC1, 0xC1}, {0xC8, 0xC8}, {0xCD, 0xCD}, {0x131, 0x131}, {0x178, 0x178},
    {0x192, 0x192}, {0x2C6, 0x2C7}, {0x2D8, 0x2DD}, {0x3A9, 0x3A9}, {0x3C0, 0x3C0}, {0x201A, 0x201A},
    {0x201E, 0x201E}, {0x2021, 0x2021}, {0x2030, 0x2030}, {0x2039, 0x203A}, {0x2044, 0x2044},
    {0x2202, 0x2202}, {0x2206, 0x2206}, {0x220F, 0x220F}, {0x2211, 0x2211}, {0x221A, 0x221A},
    {0x221E, 0x221E}, {0x222B, 0x222B}, {0x2248, 0x2248}, {0x2260, 0x2260}, {0x2264, 0x2265},
    {0x25CA, 0x25CA}, {0xF8FF, 0xF8FF}, {0xFB01, 0xFB02},
});

TEST(MacRomanTable, EveryListedCharacterGivesTheByteIconvGives) {
    ASSERT_EQ(kTableCodePoints.size(), 80u);
    for (uint32_t cp : kTableCodePoints) {
        const std::string expected = iconv_convert("MACINTOSH", "UTF-8", utf8(cp));
        ASSERT_EQ(expected.size(), 1u) << std::hex << cp;
        EXPECT_EQ(convert(utf8(cp)), expected) << "U+" << std::hex << cp;
    }
}

TEST(MacRomanTable, EveryLeftOutCharacterBecomesAQuestionMark) {
    ASSERT_EQ(kLeftOut.size(), 48u);
    for (uint32_t cp : kLeftOut) EXPECT_EQ(convert(utf8(cp)), "?") << "U+" << std::hex << cp;
}

// The two lists together are exactly the upper half of the character set:
// each byte from 0x80 up, read back by glibc, is in one list or the other.
TEST(MacRomanTable, ListedAndLeftOutCoverTheUpperHalf) {
    std::set<uint32_t> listed(kTableCodePoints.begin(), kTableCodePoints.end());
    std::set<uint32_t> left_out(kLeftOut.begin(), kLeftOut.end());
    for (int b = 0x80; b <= 0xFF; ++b) {
        // Two bytes where glibc follows an older edition of the chart: the
        // Apple logo (a private-use code point of its own) and 0xC6, which
        // it reads as Greek Delta U+0394 where the current chart has U+2206.
        if (b == 0xF0) continue;
        const std::string back = iconv_convert("UTF-8", "MACINTOSH", std::string(1, char(b)));
        ASSERT_FALSE(back.empty()) << b;
        const auto *p = reinterpret_cast<const unsigned char *>(back.data());
        uint32_t cp = 0;
        if (back.size() == 2) cp = uint32_t(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
        if (back.size() == 3) cp = uint32_t(p[0] & 0x0F) << 12 | uint32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        if (b == 0xC6 && cp == 0x394) continue;
        EXPECT_NE(listed.count(cp) + left_out.count(cp), 0u) << "byte " << std::hex << b << " U+" << cp;
    }
}

TEST(MacRomanTable, TellingRowsGiveTheirChartBytes) {
    EXPECT_EQ(convert("\xC3\xA9"), "\x8E");      // é
    EXPECT_EQ(convert("\xC3\xA4"), "\x8A");      // ä
    EXPECT_EQ(convert("\xC2\xA9"), "\xA9");      // ©
    EXPECT_EQ(convert("\xE2\x82\xAC"), "\xDB");  // €
    EXPECT_EQ(convert("\xE2\x80\x94"), "\xD1");  // —
    EXPECT_EQ(convert("\xE2\x80\xA6"), "\xC9");  // …
    EXPECT_EQ(convert("\xC2\xB6"), "\xA6");      // ¶
    EXPECT_EQ(convert("\xE2\x80\xA2"), "\xA5");  // •
    EXPECT_EQ(convert("\xC3\x8C"), "\xED");      // Ì
    EXPECT_EQ(convert("\xC3\x99"), "\xF4");      // Ù
    EXPECT_EQ(convert("\xC5\x93"), "\xCF");      // œ
}

// Every code point outside the 80, through the whole Unicode range and
// surrogates included, comes out as a single "?".
TEST(MacRomanTable, EveryOtherCodePointBecomesAQuestionMark) {
    const std::set<uint32_t> listed(kTableCodePoints.begin(), kTableCodePoints.end());
    std::string in, expected;
    for (uint32_t cp = 0x80; cp <= 0x10FFFF; ++cp) {
        if (listed.count(cp) != 0) continue;
        in += utf8(cp);
        expected += '?';
        if (in.size() > 60000 || cp == 0x10FFFF) {
            ASSERT_EQ(convert(in, in.size() + 1), expected) << "block ending at U+" << std::hex << cp;
            in.clear();
            expected.clear();
        }
    }
}

struct DecodeRow {
    const char *name;
    std::string in;
    std::string expected;
};

class MacRomanDecode : public testing::TestWithParam<DecodeRow> {};

TEST_P(MacRomanDecode, GivesTheExpectedBytes) {
    EXPECT_EQ(convert(GetParam().in), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MacRomanDecode,
    testing::Values(
        DecodeRow{"AsciiAndControlBytesPass", "\x01\x1F go\x7F", "\x01\x1F go\x7F"},
        DecodeRow{"StrayContinuationIsDropped", "A\x80\xBF"
                                                "B",
                  "AB"},
        DecodeRow{"BytesF8ToFFAreDropped", "\xF8\xFB\xFF"
                                           "x",
                  "x"},
        DecodeRow{"TwoByteLeadAtTheEndIsDropped", "ab\xC3", "ab"},
        DecodeRow{"ThreeByteSequenceCutOffLosesEveryByte", "ab\xE2\x82", "ab"},
        DecodeRow{"FourByteSequenceCutOffLosesEveryByte", "ab\xF0\x9F\x94", "ab"},
        DecodeRow{"LeadSwallowsTheNextByteUnchecked", "\xC3"
                                                      "A!",
                  "?!"},
        DecodeRow{"OverlongNulIsAQuestionMark", "\xC0\x80"
                                                "x",
                  "?x"},
        DecodeRow{"OverlongAsciiIsAQuestionMark", "\xC1\x81\xC1\xBF", "??"},
        DecodeRow{"OverlongThreeByteIsAQuestionMark", "\xE0\x80\x80", "?"},
        DecodeRow{"OverlongTableCharacterIsNotTranslated", "\xE0\x83\xA9", "?"},
        DecodeRow{"OverlongFourByteIsAQuestionMark", "\xF0\x82\x82\xAC", "?"},
        DecodeRow{"SurrogateIsAQuestionMark", "\xED\xA0\x80", "?"},
        DecodeRow{"BeyondUnicodeIsAQuestionMark", "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF", "??"},
        DecodeRow{"EmojiIsAQuestionMark", "\xF0\x9F\x94\xA5", "?"},
        DecodeRow{"MixedText", "A\xC3\xA9\xE4\xB8\xAD"
                               "B",
                  "A\x8E?B"}),
    [](const testing::TestParamInfo<DecodeRow> &info) { return std::string(info.param.name); });

TEST(MacRoman, BadArgumentsWriteNothing) {
    char out[8] = "keep";
    EXPECT_EQ(utf8_to_macroman(nullptr, out, sizeof out), 0u);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(utf8_to_macroman("abc", out, 0), 0u);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(utf8_to_macroman("abc", nullptr, 8), 0u);
}

// At every capacity: the result is the characters that fit, the stored bytes
// are the start of the whole conversion, and nothing past the NUL changes.
TEST(MacRoman, CutsBetweenCharactersAndNeverWritesPastTheNul) {
    const std::string in =
        "Caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve r\xC3\xB4le \xE4\xB8\xAD \xE2\x82\xAC" "5 and more text to fill";
    const std::string full = "Caf\x8E \xD1 na\x95ve r\x99le ? \xDB" "5 and more text to fill";
    ASSERT_EQ(convert(in), full);
    for (size_t size = 1; size <= full.size() + 2; ++size) {
        std::vector<char> out(size + 32, 'Z');
        const size_t n = utf8_to_macroman(in.c_str(), out.data(), size);
        const size_t fit = std::min(full.size(), size - 1);
        ASSERT_EQ(n, fit) << size;
        EXPECT_EQ(std::string(out.data(), n), full.substr(0, fit));
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(std::count(out.begin() + long(n) + 1, out.end(), 'Z'), long(out.size() - n - 1)) << size;
    }
}

// Non-ASCII at every offset around the 16-byte blocks that ASCII moves in.
TEST(MacRoman, TranslatesAtEveryOffsetOfALongRun) {
    for (size_t before = 0; before < 48; ++before) {
        const std::string in = std::string(before, 'a') + "\xC3\xBC" + std::string(40, 'b') + "\xE2\x80\x9C";
        const std::string expected = std::string(before, 'a') + "\x9F" + std::string(40, 'b') + "\xD2";
        ASSERT_EQ(convert(in), expected) << before;
    }
}

TEST(MacRoman, ConvertsInPlace) {
    std::string text;
    for (int k = 0; k < 40; ++k)
        text += "Stra\xC3\x9F" "e \xE2\x80\x98quoted\xE2\x80\x99 \xF0\x9F\x94\xA5 long enough ";
    const std::string expected = convert(text, text.size() + 1);
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    const size_t n = utf8_to_macroman(buf.data(), buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.data(), n), expected);
}

// The conversion one character at a time, as plainly as it can be written,
// with the byte for each listed character taken from glibc.
class Reference {
public:
    Reference() {
        for (uint32_t cp : kTableCodePoints)
            bytes_[cp] = uint8_t(iconv_convert("MACINTOSH", "UTF-8", utf8(cp)).at(0));
    }

    size_t convert(const char *in, char *out, size_t out_size) const {
        if (in == nullptr || out == nullptr || out_size == 0) return 0;
        const auto *s = reinterpret_cast<const unsigned char *>(in);
        const size_t len = std::strlen(in);
        size_t i = 0, n = 0;
        while (i < len && n < out_size - 1) {
            const unsigned char lead = s[i];
            size_t k = 0;
            uint32_t cp = 0, min = 0;
            if (lead < 0x80) k = 1, cp = lead;
            else if (lead >= 0xC0 && lead <= 0xDF) k = 2, cp = lead & 0x1F, min = 0x80;
            else if (lead >= 0xE0 && lead <= 0xEF) k = 3, cp = lead & 0x0F, min = 0x800;
            else if (lead >= 0xF0 && lead <= 0xF7) k = 4, cp = lead & 0x07, min = 0x10000;
            if (k == 0 || len - i < k) {
                ++i;
                continue;
            }
            for (size_t t = 1; t < k; ++t) cp = cp << 6 | (s[i + t] & 0x3F);
            i += k;
            if (k == 1) {
                out[n++] = char(cp);
            } else {
                const auto found = bytes_.find(cp);
                out[n++] = cp >= min && found != bytes_.end() ? char(found->second) : '?';
            }
        }
        out[n] = '\0';
        return n;
    }

private:
    std::map<uint32_t, uint8_t> bytes_;
};

// Random byte strings, weighted toward the bytes where decoding branches,
// at random capacities and alignments: the fast path must agree exactly.
TEST(MacRoman, AgreesWithThePlainConversionOnRandomBytes) {
    const Reference reference;
    std::mt19937 rng(20240611);
    auto pick = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int round = 0; round < 20000; ++round) {
        std::string in;
        const size_t len = pick(0, round % 10 == 0 ? 600 : 80);
        while (in.size() < len) {
            const uint32_t kind = pick(0, 99);
            if (kind < 45) in += char(pick(0x20, 0x7E));
            else if (kind < 50) in += char(pick(0x01, 0x1F));
            else if (kind < 58) in += char(pick(0x80, 0xBF));
            else if (kind < 66) in += char(pick(0xC0, 0xDF));
            else if (kind < 74) in += char(pick(0xE0, 0xEF));
            else if (kind < 78) in += char(pick(0xF0, 0xF7));
            else if (kind < 81) in += char(pick(0xF8, 0xFF));
            else if (kind < 93) in += utf8(kTableCodePoints[pick(0, 79)]);
            else in += utf8(pick(0x80, 0x10FFFF));
        }
        const size_t size = pick(1, uint32_t(len) + 20);
        const size_t offset = pick(0, 15);
        std::vector<char> got(size + 48, 'Z'), want(size + 48, 'Z');
        const size_t n = utf8_to_macroman(in.c_str(), got.data() + offset, size);
        const size_t m = reference.convert(in.c_str(), want.data() + offset, size);
        ASSERT_EQ(n, m) << "round " << round;
        ASSERT_EQ(got, want) << "round " << round;
    }
}

}  // namespace
