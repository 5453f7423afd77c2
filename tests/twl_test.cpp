// The field codec and framing beyond what the self-check battery covers:
// untouched outputs on every short path, the header reader's order of
// checks, the payload limit and the guarded edges of strings and frames.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/twl.h"

namespace {

TEST(TwlInt, EncodersWriteNothingWithoutRoom) {
    uint8_t buf[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(twl_encode_u8(buf, 0, 0xAB), 0u);
    EXPECT_EQ(twl_encode_u16(buf, 1, 0xABCD), 0u);
    EXPECT_EQ(twl_encode_i16(buf, 1, -1), 0u);
    EXPECT_EQ(twl_encode_u32(buf, 3, 0xABCDEF01), 0u);
    const uint8_t untouched[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(std::memcmp(buf, untouched, 4), 0);
}

TEST(TwlInt, EncodersWriteExactlyTheirWidth) {
    uint8_t buf[6] = {0};
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(twl_encode_u32(buf, 4, 0x01020304), 4u);
    EXPECT_EQ(twl_encode_i16(buf + 4, 2, -32768), 2u);
    const uint8_t expected[6] = {0x01, 0x02, 0x03, 0x04, 0x80, 0x00};
    EXPECT_EQ(std::memcmp(buf, expected, 6), 0);
}

TEST(TwlInt, DecodersLeaveOutputOnShortInput) {
    const uint8_t src[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    for (size_t avail = 0; avail < 4; ++avail) {
        uint32_t v32 = 7;
        EXPECT_EQ(twl_decode_u32(src, avail, &v32), 0u) << avail;
        EXPECT_EQ(v32, 7u);
    }
    for (size_t avail = 0; avail < 2; ++avail) {
        uint16_t v16 = 7;
        int16_t i16 = 7;
        EXPECT_EQ(twl_decode_u16(src, avail, &v16), 0u);
        EXPECT_EQ(twl_decode_i16(src, avail, &i16), 0u);
        EXPECT_EQ(v16, 7u);
        EXPECT_EQ(i16, 7);
    }
    uint8_t v8 = 7;
    EXPECT_EQ(twl_decode_u8(nullptr, 0, &v8), 0u);  // a null source is never read
    EXPECT_EQ(v8, 7u);
}

TEST(TwlInt, SignedRoundTripsAtTheExtremes) {
    for (int16_t v : {int16_t(-32768), int16_t(-1), int16_t(0), int16_t(1), int16_t(32767)}) {
        uint8_t buf[2];
        int16_t back = 0;
        ASSERT_EQ(twl_encode_i16(buf, 2, v), 2u);
        ASSERT_EQ(twl_decode_i16(buf, 2, &back), 2u);
        EXPECT_EQ(back, v);
    }
}

TEST(TwlString, EncodeFitsExactlyOrNotAtAll) {
    uint8_t buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(twl_encode_string(buf, 6, "Hello", 255), 0u);  // needs 7
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(twl_encode_string(buf, 7, "Hello", 255), 7u);
    const uint8_t expected[8] = {0x00, 0x05, 'H', 'e', 'l', 'l', 'o', 0xEE};
    EXPECT_EQ(std::memcmp(buf, expected, 8), 0);
}

TEST(TwlString, MaximumAboveTheLengthPrefixIsHeldAt65535) {
    // A text longer than the u16 prefix can state: the prefix and the bytes
    // written must agree, so the field stops at 65,535 bytes.
    const std::string text(70000, 'x');
    std::vector<uint8_t> buf(70010, 0);
    const size_t n = twl_encode_string(buf.data(), buf.size(), text.c_str(), 100000);
    ASSERT_EQ(n, 2u + 65535u);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2 + 65535], 0);  // nothing after the field
    char out[8];
    size_t wire_len = 0;
    EXPECT_EQ(twl_decode_string(buf.data(), n, out, sizeof out, &wire_len), n);
    EXPECT_EQ(wire_len, 65535u);
}

TEST(TwlString, DecodeRefusesEveryTruncation) {
    const uint8_t wire[] = {0x00, 0x04, 'T', 'e', 's', 't'};
    for (size_t avail = 0; avail < sizeof wire; ++avail) {
        char out[8] = "keep";
        size_t wire_len = 99;
        EXPECT_EQ(twl_decode_string(wire, avail, out, sizeof out, &wire_len), 0u) << avail;
        EXPECT_STREQ(out, "keep");
        EXPECT_EQ(wire_len, 99u);
    }
}

TEST(TwlString, DecodeWithoutAnOutputWritesNothing) {
    const uint8_t wire[] = {0x00, 0x02, 'o', 'k'};
    size_t wire_len = 99;
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, nullptr, 16, &wire_len), 0u);
    EXPECT_EQ(wire_len, 99u);
    char out[4] = "abc";
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, out, 0, &wire_len), 0u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(wire_len, 99u);
}

TEST(TwlString, DecodeIntoOneByteKeepsOnlyTheTerminator) {
    const uint8_t wire[] = {0x00, 0x02, 'o', 'k'};
    char out[1] = {'z'};
    EXPECT_EQ(twl_decode_string(wire, sizeof wire, out, 1, nullptr), 4u);
    EXPECT_EQ(out[0], '\0');
}

// ---- Frame header ----

const uint8_t kGoodHeader[10] = {'T', 'R', 'W', 'K', 0x01, 0x83, 0x00, 0x00, 0x00, 0x2A};

TEST(TwlHeader, WriterProducesTheLiteralBytes) {
    uint8_t buf[10];
    ASSERT_EQ(twl_encode_header(buf, 10, 0x83, 42), 10u);
    EXPECT_EQ(std::memcmp(buf, kGoodHeader, 10), 0);
    uint8_t small[9] = {0};
    EXPECT_EQ(twl_encode_header(small, 9, 0x83, 42), 0u);
    EXPECT_EQ(small[0], 0);
}

TEST(TwlHeader, WriterDoesNotPoliceTheLimit) {
    uint8_t buf[10];
    ASSERT_EQ(twl_encode_header(buf, 10, 0x92, 0xFFFFFFFFu), 10u);
    EXPECT_EQ(buf[6], 0xFF);
    EXPECT_EQ(buf[9], 0xFF);
}

TEST(TwlHeader, RejectionsBeforeTheVersionLeaveOutputsUntouched) {
    std::vector<std::vector<uint8_t>> bad;
    bad.emplace_back(kGoodHeader, kGoodHeader + 9);  // one byte short
    for (size_t k = 0; k < 4; ++k) {                 // each magic byte
        bad.emplace_back(kGoodHeader, kGoodHeader + 10);
        bad.back()[k] ^= 0x20;
    }
    for (uint8_t version : {0x00, 0x02, 0xFF}) {
        bad.emplace_back(kGoodHeader, kGoodHeader + 10);
        bad.back()[4] = version;
    }
    for (const auto &frame : bad) {
        uint8_t type = 0x55;
        uint32_t len = 0x12345678;
        EXPECT_EQ(twl_decode_header(frame.data(), frame.size(), &type, &len), TWR_ERR_PROTO);
        EXPECT_EQ(type, 0x55);
        EXPECT_EQ(len, 0x12345678u);
    }
}

TEST(TwlHeader, PayloadLimitIsInclusiveAndStoredBeforeTheCheck) {
    uint8_t frame[10];
    std::memcpy(frame, kGoodHeader, 10);
    uint8_t type = 0;
    uint32_t len = 0;

    // 0x00200000 = 2,097,152: the largest accepted payload.
    frame[6] = 0x00, frame[7] = 0x20, frame[8] = 0x00, frame[9] = 0x00;
    EXPECT_EQ(twl_decode_header(frame, 10, &type, &len), TWR_OK);
    EXPECT_EQ(len, 2097152u);

    // One more is refused, but type and length were already stored.
    frame[9] = 0x01;
    type = 0, len = 0;
    EXPECT_EQ(twl_decode_header(frame, 10, &type, &len), TWR_ERR_PROTO);
    EXPECT_EQ(type, 0x83);
    EXPECT_EQ(len, 2097153u);

    frame[6] = frame[7] = frame[8] = frame[9] = 0xFF;
    EXPECT_EQ(twl_decode_header(frame, 10, &type, &len), TWR_ERR_PROTO);
    EXPECT_EQ(len, 0xFFFFFFFFu);
}

TEST(TwlHeader, AnyTypeByteIsAccepted) {
    uint8_t frame[10];
    std::memcpy(frame, kGoodHeader, 10);
    for (int t : {0x00, 0x8A, 0xFF}) {
        frame[5] = uint8_t(t);
        uint8_t type = 0x55;
        uint32_t len = 0;
        EXPECT_EQ(twl_decode_header(frame, 10, &type, &len), TWR_OK);
        EXPECT_EQ(type, t);
    }
}

// ---- Frames ----

TEST(TwlFrame, BuildMessageCopiesHeaderAndPayload) {
    const uint8_t payload[3] = {0x01, 0x02, 0x03};
    uint8_t *frame = nullptr;
    ASSERT_EQ(twl_build_message(&frame, 0x8C, payload, 3), 13u);
    ASSERT_NE(frame, nullptr);
    const uint8_t expected[13] = {'T', 'R', 'W', 'K', 0x01, 0x8C, 0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03};
    EXPECT_EQ(std::memcmp(frame, expected, 13), 0);
    std::free(frame);
}

TEST(TwlFrame, NullPayloadWithLengthIsRefused) {
    uint8_t sentinel = 0;
    uint8_t *frame = &sentinel;
    EXPECT_EQ(twl_build_message(&frame, 0x42, nullptr, 5), 0u);
    EXPECT_EQ(frame, &sentinel);  // out pointer untouched

    // A null payload of length 0 is a header-only frame.
    ASSERT_EQ(twl_build_message(&frame, 0x42, nullptr, 0), 10u);
    EXPECT_NE(frame, &sentinel);
    std::free(frame);
}

TEST(TwlFrame, PayloadBeyondTheLengthFieldIsRefused) {
    // The u32 length field could not state this size; the payload pointer is
    // never read because the check comes first.
    const uint8_t byte = 0;
    uint8_t *frame = nullptr;
    EXPECT_EQ(twl_build_message(&frame, 0x42, &byte, size_t(UINT32_MAX) + 1), 0u);
    EXPECT_EQ(frame, nullptr);
}

TEST(TwlFrame, PongIsTheTenByteHeader) {
    size_t len = 99;
    uint8_t *frame = twl_build_pong(&len);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(len, 10u);
    const uint8_t expected[10] = {'T', 'R', 'W', 'K', 0x01, 0x92, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(frame, expected, 10), 0);
    std::free(frame);
}

}  // namespace
