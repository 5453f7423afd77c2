#include "relay/twl.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kMagic[4] = {'T', 'R', 'W', 'K'};
// The string length prefix is a u16, so no string field can be longer.
constexpr size_t kMaxStringLen = 0xFFFF;

constexpr void put_be16(uint8_t *p, uint16_t v) noexcept {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
constexpr void put_be32(uint8_t *p, uint32_t v) noexcept {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
constexpr uint16_t get_be16(const uint8_t *p) noexcept { return uint16_t(p[0] << 8 | p[1]); }
constexpr uint32_t get_be32(const uint8_t *p) noexcept {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

consteval bool be_round_trips() {
    uint8_t b[4]{};
    put_be16(b, 0xBEEF);
    if (b[0] != 0xBE || get_be16(b) != 0xBEEF) return false;
    put_be32(b, 0xDEADBEEF);
    return b[0] == 0xDE && b[3] == 0xEF && get_be32(b) == 0xDEADBEEF;
}
static_assert(be_round_trips());

}  // namespace

size_t twl_encode_u8(uint8_t *buf, size_t cap, uint8_t v) {
    if (cap < 1) return 0;
    buf[0] = v;
    return 1;
}

size_t twl_encode_u16(uint8_t *buf, size_t cap, uint16_t v) {
    if (cap < 2) return 0;
    put_be16(buf, v);
    return 2;
}

size_t twl_encode_u32(uint8_t *buf, size_t cap, uint32_t v) {
    if (cap < 4) return 0;
    put_be32(buf, v);
    return 4;
}

size_t twl_encode_i16(uint8_t *buf, size_t cap, int16_t v) {
    return twl_encode_u16(buf, cap, std::bit_cast<uint16_t>(v));
}

size_t twl_encode_string(uint8_t *buf, size_t cap, const char *text, size_t max_len) {
    if (text == nullptr) text = "";
    if (max_len > kMaxStringLen) max_len = kMaxStringLen;
    // strnlen: a field never needs more than max_len bytes of the text.
    const size_t n = strnlen(text, max_len);
    if (cap < n + 2) return 0;
    put_be16(buf, uint16_t(n));
    std::memcpy(buf + 2, text, n);
    return n + 2;
}

size_t twl_decode_u8(const uint8_t *src, size_t avail, uint8_t *out) {
    if (avail < 1) return 0;
    *out = src[0];
    return 1;
}

size_t twl_decode_u16(const uint8_t *src, size_t avail, uint16_t *out) {
    if (avail < 2) return 0;
    *out = get_be16(src);
    return 2;
}

size_t twl_decode_u32(const uint8_t *src, size_t avail, uint32_t *out) {
    if (avail < 4) return 0;
    *out = get_be32(src);
    return 4;
}

size_t twl_decode_i16(const uint8_t *src, size_t avail, int16_t *out) {
    uint16_t raw = 0;
    if (twl_decode_u16(src, avail, &raw) == 0) return 0;
    *out = std::bit_cast<int16_t>(raw);
    return 2;
}

size_t twl_decode_string(const uint8_t *src, size_t avail, char *out, size_t out_cap,
                         size_t *out_wire_len) {
    // Without room for at least the terminator there is nowhere to write.
    if (out == nullptr || out_cap == 0 || avail < 2) return 0;
    const size_t wire_len = get_be16(src);
    if (avail - 2 < wire_len) return 0;
    const size_t copy = wire_len < out_cap ? wire_len : out_cap - 1;
    std::memcpy(out, src + 2, copy);
    out[copy] = '\0';
    if (out_wire_len != nullptr) *out_wire_len = wire_len;
    // The whole field is consumed even when the copy was cut short.
    return wire_len + 2;
}

size_t twl_encode_header(uint8_t *buf, size_t cap, uint8_t msg_type, uint32_t payload_len) {
    if (cap < TWR_MSG_HEADER_SIZE) return 0;
    std::memcpy(buf, kMagic, sizeof kMagic);
    buf[4] = TWR_PROTO_VERSION;
    buf[5] = msg_type;
    put_be32(buf + 6, payload_len);
    return TWR_MSG_HEADER_SIZE;
}

int twl_decode_header(const uint8_t *src, size_t avail, uint8_t *out_type, uint32_t *out_payload_len) {
    if (avail < TWR_MSG_HEADER_SIZE) return TWR_ERR_PROTO;
    for (size_t k = 0; k < sizeof kMagic; ++k)
        if (src[k] != kMagic[k]) return TWR_ERR_PROTO;
    if (src[4] != TWR_PROTO_VERSION) return TWR_ERR_PROTO;
    // Type and length are stored before the limit check: a caller that gets
    // TWR_ERR_PROTO with a stored length knows the header was well formed
    // but announced too much.
    const uint32_t payload_len = get_be32(src + 6);
    *out_type = src[5];
    *out_payload_len = payload_len;
    if (payload_len > TWR_MSG_MAX_PAYLOAD) return TWR_ERR_PROTO;
    return TWR_OK;
}

size_t twl_build_message(uint8_t **out_frame, uint8_t msg_type, const uint8_t *payload,
                         size_t payload_len) {
    if (payload == nullptr && payload_len != 0) return 0;
    // The header can only announce what fits its u32 length field.
    if (payload_len > UINT32_MAX) return 0;
    const size_t total = payload_len + TWR_MSG_HEADER_SIZE;
    auto *frame = static_cast<uint8_t *>(std::malloc(total));
    if (frame == nullptr) return 0;
    twl_encode_header(frame, total, msg_type, uint32_t(payload_len));
    if (payload_len != 0) std::memcpy(frame + TWR_MSG_HEADER_SIZE, payload, payload_len);
    *out_frame = frame;
    return total;
}

uint8_t *twl_build_pong(size_t *out_len) {
    uint8_t *frame = nullptr;
    *out_len = twl_build_message(&frame, TWR_MSG_PONG, nullptr, 0);
    return frame;
}
