// The guarded edges of the field codec and the frame builder. The codec's
// properties (widths, untouched outputs, the header's checks and limit) are
// the codec fuzz harness's; its plain cases are the self-check battery's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/twl.h"

namespace {

TEST(TwlCodec, DecodeStringWithoutRoomForATerminatorWritesNothing) {
    const uint8_t wire[] = {0x00, 0x02, 'o', 'k'};
    size_t wire_len = 99;
    char out[4] = "abc";
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, nullptr, 16, &wire_len), 0u);
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, out, 0, &wire_len), 0u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(wire_len, 99u);
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, out, 1, &wire_len), 4u);  // room for the NUL alone
    EXPECT_EQ(out[0], '\0');
}

TEST(TwlCodec, EncodeStringHoldsAMaximumAboveTheLengthPrefixAt65535) {
    const std::string text(70000, 'x');
    std::vector<uint8_t> buf(70010, 0);
    ASSERT_EQ(twl_encode_string(buf.data(), buf.size(), text.c_str(), 100000), 2u + 65535u);
    EXPECT_EQ(buf[0] << 8 | buf[1], 65535);
    EXPECT_EQ(buf[2 + 65535], 0);  // nothing after the field
}

TEST(TwlFrame, BuildMessageRefusesANullPayloadWithALength) {
    uint8_t sentinel = 0;
    uint8_t *frame = &sentinel;
    EXPECT_EQ(twl_build_message(&frame, 0x42, nullptr, 5), 0u);
    EXPECT_EQ(frame, &sentinel);
    ASSERT_EQ(twl_build_message(&frame, 0x42, nullptr, 0), 10u);  // a header alone
    std::free(frame);
}

TEST(TwlFrame, BuildMessageRefusesAPayloadItsLengthFieldCannotState) {
    const uint8_t byte = 0;  // never read: the check comes first
    uint8_t *frame = nullptr;
    EXPECT_EQ(twl_build_message(&frame, 0x42, &byte, size_t(UINT32_MAX) + 1), 0u);
    EXPECT_EQ(frame, nullptr);
}

}  // namespace
