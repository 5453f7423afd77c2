// The guarded edges of the field codec and the frame builder. The codec's
// properties (widths, untouched outputs, the header's checks and limit) are
// the codec fuzz harness's; its plain cases are the self-check battery's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "relay/twl.h"

namespace {

// Decoding with no output writes nothing (no room at all is the codec fuzz
// harness's); encoding holds a maximum above what the length prefix can state
// to 65535.
TEST(TwlCodec, StringFieldEdges) {
    const uint8_t wire[] = {0x00, 0x02, 'o', 'k'};
    size_t wire_len = 99;
    char out[4];
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, nullptr, 16, &wire_len), 0u);
    EXPECT_EQ(wire_len, 99u);
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, out, 1, &wire_len), 4u);  // room for the NUL alone
    EXPECT_EQ(out[0], '\0');
    const std::string text(70000, 'x');
    std::vector<uint8_t> buf(70010, 0);
    ASSERT_EQ(twl_encode_string(buf.data(), buf.size(), text.c_str(), 100000), 2u + 65535u);
    EXPECT_EQ(buf[0] << 8 | buf[1], 65535);
    EXPECT_EQ(buf[2 + 65535], 0);  // nothing after the field
}

// A null payload with a length, and a payload its u32 length field cannot
// state, which is never read: the check comes first.
TEST(TwlFrame, BuildMessageRefusesWhatItCannotFrameAndLeavesTheOutPointer) {
    uint8_t sentinel = 0, *frame = &sentinel;
    EXPECT_EQ(twl_build_message(&frame, 0x42, nullptr, 5), 0u);
    EXPECT_EQ(twl_build_message(&frame, 0x42, &sentinel, size_t(UINT32_MAX) + 1), 0u);
    EXPECT_EQ(frame, &sentinel);
    ASSERT_EQ(twl_build_message(&frame, 0x42, nullptr, 0), 10u);  // a header alone
    std::free(frame);
}

}  // namespace
