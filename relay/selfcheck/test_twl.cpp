// The "TWL Protocol" suite: field codec, string fields, frame header, the
// generic frame builder and the pong frame at their edges.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "relay/selfcheck/selfcheck.h"
#include "relay/twl.h"

namespace {

void test_encode_u8(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_u8(buf, 4, 0xAB);
    ASSERT_EQ(n, 1);
    ASSERT_EQ(buf[0], 0xAB);
}

void test_encode_u8_no_space(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_u8(buf, 0, 0x42);
    ASSERT_EQ(n, 0);
}

void test_encode_u16(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_u16(buf, 4, 0x1234);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(buf[0], 0x12);
    ASSERT_EQ(buf[1], 0x34);
}

void test_encode_u16_no_space(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_u16(buf, 1, 0x1234);
    ASSERT_EQ(n, 0);
}

void test_encode_u32(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_u32(buf, 4, 0xDEADBEEF);
    ASSERT_EQ(n, 4);
    ASSERT_EQ(buf[0], 0xDE);
    ASSERT_EQ(buf[1], 0xAD);
    ASSERT_EQ(buf[2], 0xBE);
    ASSERT_EQ(buf[3], 0xEF);
}

void test_encode_u32_no_space(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_u32(buf, 3, 0x12345678);
    ASSERT_EQ(n, 0);
}

void test_encode_i16_negative(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_i16(buf, 4, -1);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(buf[0], 0xFF);
    ASSERT_EQ(buf[1], 0xFF);
}

void test_decode_u8(void) {
    uint8_t buf[1] = {0x42};
    uint8_t val = 0;
    size_t n = twl_decode_u8(buf, 1, &val);
    ASSERT_EQ(n, 1);
    ASSERT_EQ(val, 0x42);
}

void test_decode_u8_short_buf(void) {
    uint8_t val = 0xFF;
    size_t n = twl_decode_u8(NULL, 0, &val);
    ASSERT_EQ(n, 0);
}

void test_decode_u16(void) {
    uint8_t buf[2] = {0x12, 0x34};
    uint16_t val = 0;
    size_t n = twl_decode_u16(buf, 2, &val);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(val, 0x1234);
}

void test_decode_u16_short_buf(void) {
    uint8_t buf[1] = {0x12};
    uint16_t val = 0;
    size_t n = twl_decode_u16(buf, 1, &val);
    ASSERT_EQ(n, 0);
}

void test_decode_u32(void) {
    uint8_t buf[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t val = 0;
    size_t n = twl_decode_u32(buf, 4, &val);
    ASSERT_EQ(n, 4);
    ASSERT_EQ(val, 0xDEADBEEF);
}

void test_decode_u32_short_buf(void) {
    uint8_t buf[3] = {0xDE, 0xAD, 0xBE};
    uint32_t val = 0;
    size_t n = twl_decode_u32(buf, 3, &val);
    ASSERT_EQ(n, 0);
}

void test_decode_i16_negative(void) {
    uint8_t buf[2] = {0xFF, 0xFE};
    int16_t val = 0;
    size_t n = twl_decode_i16(buf, 2, &val);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(val, -2);
}

void test_encode_string_basic(void) {
    uint8_t buf[64] = {0};
    size_t n = twl_encode_string(buf, 64, "Hello", 255);
    ASSERT_EQ(n, 2 + 5);
    ASSERT_EQ(buf[0], 0);
    ASSERT_EQ(buf[1], 5);
    ASSERT_TRUE(memcmp(buf + 2, "Hello", 5) == 0);
}

void test_encode_string_truncate(void) {
    uint8_t buf[64] = {0};
    size_t n = twl_encode_string(buf, 64, "Hello", 3);
    ASSERT_EQ(n, 2 + 3);
    ASSERT_EQ(buf[0], 0);
    ASSERT_EQ(buf[1], 3);
    ASSERT_TRUE(memcmp(buf + 2, "Hel", 3) == 0);
}

void test_encode_string_null(void) {
    uint8_t buf[64] = {0xFF};
    size_t n = twl_encode_string(buf, 64, NULL, 255);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(buf[0], 0);
    ASSERT_EQ(buf[1], 0);
}

void test_encode_string_no_space(void) {
    uint8_t buf[4] = {0};
    size_t n = twl_encode_string(buf, 4, "Hello", 255);
    ASSERT_EQ(n, 0);
}

void test_decode_string_basic(void) {
    uint8_t buf[6] = {0x00, 0x04, 0x54, 0x65, 0x73, 0x74};
    size_t str_len = 0;
    char out[32];
    size_t n = twl_decode_string(buf, 6, out, 32, &str_len);
    ASSERT_EQ(n, 6);
    ASSERT_EQ(str_len, 4);
    ASSERT_STR_EQ(out, "Test");
}

void test_decode_string_truncated_output(void) {
    uint8_t buf[12] = {0x00, 0x0A, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'};
    size_t str_len = 0;
    char out[5];
    size_t n = twl_decode_string(buf, 12, out, 5, &str_len);
    ASSERT_EQ(n, 12);
    ASSERT_EQ(str_len, 10);
    ASSERT_EQ(strlen(out), 4);
    ASSERT_STR_EQ(out, "ABCD");
}

void test_decode_string_bounds_check_b5(void) {
    uint8_t buf[4] = {0x00, 0x64, 0x41, 0x42};
    size_t str_len = 0;
    char out[256];
    size_t n = twl_decode_string(buf, 4, out, 256, &str_len);
    ASSERT_EQ(n, 0);
}

void test_decode_string_exact_length(void) {
    uint8_t buf[5] = {0x00, 0x03, 0x58, 0x59, 0x5A};
    size_t str_len = 0;
    char out[16];
    size_t n = twl_decode_string(buf, 5, out, 16, &str_len);
    ASSERT_EQ(n, 5);
    ASSERT_EQ(str_len, 3);
    ASSERT_STR_EQ(out, "XYZ");
}

void test_decode_string_empty(void) {
    uint8_t buf[2] = {0x00, 0x00};
    size_t str_len = 99;
    char out[16];
    size_t n = twl_decode_string(buf, 2, out, 16, &str_len);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(str_len, 0);
    ASSERT_STR_EQ(out, "");
}

void test_decode_string_short_header(void) {
    uint8_t buf[1] = {0x00};
    size_t str_len = 0;
    char out[16];
    size_t n = twl_decode_string(buf, 1, out, 16, &str_len);
    ASSERT_EQ(n, 0);
}

void test_header_roundtrip(void) {
    uint8_t buf[16] = {0};
    uint8_t msg_type = 0;
    uint32_t payload_len = 0;
    size_t n = twl_encode_header(buf, 16, TWR_MSG_GUILD_LIST, 42);
    int rc = twl_decode_header(buf, n, &msg_type, &payload_len);
    ASSERT_EQ(n, TWR_MSG_HEADER_SIZE);
    ASSERT_EQ(rc, TWR_OK);
    ASSERT_EQ(msg_type, TWR_MSG_GUILD_LIST);
    ASSERT_EQ(payload_len, 42);
}

void test_header_bad_magic(void) {
    uint8_t buf[16] = {'X', 'R', 'W', 'K', 0x01, 0x01};
    uint8_t msg_type = 0;
    uint32_t payload_len = 0;
    int rc = twl_decode_header(buf, 10, &msg_type, &payload_len);
    ASSERT_EQ(rc, TWR_ERR_PROTO);
}

void test_header_bad_version(void) {
    uint8_t buf[16] = {'T', 'R', 'W', 'K', 0xFF, 0x01};
    uint8_t msg_type = 0;
    uint32_t payload_len = 0;
    int rc = twl_decode_header(buf, 10, &msg_type, &payload_len);
    ASSERT_EQ(rc, TWR_ERR_PROTO);
}

void test_header_too_short(void) {
    uint8_t buf[5] = {'T', 'R', 'W', 'K', 0x01};
    uint8_t msg_type = 0;
    uint32_t payload_len = 0;
    int rc = twl_decode_header(buf, 5, &msg_type, &payload_len);
    ASSERT_EQ(rc, TWR_ERR_PROTO);
}

void test_header_payload_too_large(void) {
    uint8_t buf[10] = {'T', 'R', 'W', 'K', 0x01, 0x01, 0x00, 0x30, 0x00, 0x00};
    uint8_t msg_type = 0;
    uint32_t payload_len = 0;
    int rc = twl_decode_header(buf, 10, &msg_type, &payload_len);
    ASSERT_EQ(rc, TWR_ERR_PROTO);
}

void test_build_message_basic(void) {
    const uint8_t payload[2] = {0xAA, 0xBB};
    uint8_t *msg = NULL;
    uint8_t msg_type = 0;
    uint32_t plen = 0;
    size_t len = twl_build_message(&msg, 0x42, payload, 2);
    int rc = twl_decode_header(msg, len, &msg_type, &plen);
    ASSERT_TRUE(len > 0);
    ASSERT_NOT_NULL(msg);
    ASSERT_EQ(len, TWR_MSG_HEADER_SIZE + 2);
    ASSERT_EQ(rc, TWR_OK);
    ASSERT_EQ(msg_type, 0x42);
    ASSERT_EQ(plen, 2);
    ASSERT_EQ(msg[TWR_MSG_HEADER_SIZE], 0xAA);
    ASSERT_EQ(msg[TWR_MSG_HEADER_SIZE + 1], 0xBB);
    free(msg);
}

void test_build_pong(void) {
    size_t len = 0;
    uint8_t msg_type = 0;
    uint32_t plen = 0;
    uint8_t *msg = twl_build_pong(&len);
    int rc = twl_decode_header(msg, len, &msg_type, &plen);
    ASSERT_NOT_NULL(msg);
    ASSERT_EQ(len, TWR_MSG_HEADER_SIZE);
    ASSERT_EQ(rc, TWR_OK);
    ASSERT_EQ(msg_type, TWR_MSG_PONG);
    ASSERT_EQ(plen, 0);
    free(msg);
}

void test_u16_roundtrip_boundary_values(void) {
    uint8_t buf[4] = {0};
    uint16_t val = 0xAAAA;
    size_t n = twl_encode_u16(buf, 4, 0);
    ASSERT_EQ(n, 2);
    n = twl_decode_u16(buf, 2, &val);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(val, 0);
    n = twl_encode_u16(buf, 4, 0xFFFF);
    ASSERT_EQ(n, 2);
    n = twl_decode_u16(buf, 2, &val);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(val, 0xFFFF);
}

void test_u32_roundtrip_boundary_values(void) {
    uint8_t buf[4] = {0};
    uint32_t val = 0xAAAAAAAA;
    size_t n = twl_encode_u32(buf, 4, 0);
    ASSERT_EQ(n, 4);
    n = twl_decode_u32(buf, 4, &val);
    ASSERT_EQ(n, 4);
    ASSERT_EQ(val, 0);
    n = twl_encode_u32(buf, 4, 0xFFFFFFFF);
    ASSERT_EQ(n, 4);
    n = twl_decode_u32(buf, 4, &val);
    ASSERT_EQ(n, 4);
    ASSERT_EQ(val, 0xFFFFFFFF);
}

}  // namespace

void run_twl_tests(void) {
    selfcheck::suite_title("TWL Protocol");
    RUN_CASE(test_encode_u8);
    RUN_CASE(test_encode_u8_no_space);
    RUN_CASE(test_encode_u16);
    RUN_CASE(test_encode_u16_no_space);
    RUN_CASE(test_encode_u32);
    RUN_CASE(test_encode_u32_no_space);
    RUN_CASE(test_encode_i16_negative);
    RUN_CASE(test_decode_u8);
    RUN_CASE(test_decode_u8_short_buf);
    RUN_CASE(test_decode_u16);
    RUN_CASE(test_decode_u16_short_buf);
    RUN_CASE(test_decode_u32);
    RUN_CASE(test_decode_u32_short_buf);
    RUN_CASE(test_decode_i16_negative);
    RUN_CASE(test_encode_string_basic);
    RUN_CASE(test_encode_string_truncate);
    RUN_CASE(test_encode_string_null);
    RUN_CASE(test_encode_string_no_space);
    RUN_CASE(test_decode_string_basic);
    RUN_CASE(test_decode_string_truncated_output);
    RUN_CASE(test_decode_string_bounds_check_b5);
    RUN_CASE(test_decode_string_exact_length);
    RUN_CASE(test_decode_string_empty);
    RUN_CASE(test_decode_string_short_header);
    RUN_CASE(test_header_roundtrip);
    RUN_CASE(test_header_bad_magic);
    RUN_CASE(test_header_bad_version);
    RUN_CASE(test_header_too_short);
    RUN_CASE(test_header_payload_too_large);
    RUN_CASE(test_build_message_basic);
    RUN_CASE(test_build_pong);
    RUN_CASE(test_u16_roundtrip_boundary_values);
    RUN_CASE(test_u32_roundtrip_boundary_values);
}
