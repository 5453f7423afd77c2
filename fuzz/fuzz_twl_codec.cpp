// The frame header reader and every field decoder on arbitrary bytes.
// Properties: nothing is read past `avail`, a decoder reports exactly its
// width or 0, re-encoding a decoded value gives back the same bytes, and a
// decoded string is terminated within its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "relay/twl.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

// The input is copied into a block of exactly its size, so that AddressSanitizer
// catches any read past the bytes offered.
std::vector<uint8_t> exact_copy(const uint8_t *data, size_t size) { return {data, data + size}; }

void check_header(const uint8_t *src, size_t avail) {
    uint8_t type = 0xA5;
    uint32_t len = 0xA5A5A5A5;
    const int rc = twl_decode_header(src, avail, &type, &len);
    const bool well_formed =
        avail >= 10 && std::memcmp(src, "TRWK", 4) == 0 && src[4] == TWR_PROTO_VERSION;
    if (!well_formed) {
        require(rc == TWR_ERR_PROTO && type == 0xA5 && len == 0xA5A5A5A5);
        return;
    }
    require(type == src[5]);
    require(rc == (len <= TWR_MSG_MAX_PAYLOAD ? TWR_OK : TWR_ERR_PROTO));
    uint8_t again[10];
    require(twl_encode_header(again, sizeof again, type, len) == 10);
    require(std::memcmp(again, src, 10) == 0);
}

// Short sources leave the outputs as they were; short buffers are not written.
void check_integers(const uint8_t *src, size_t avail) {
    uint8_t v8 = 0x5A;
    uint16_t v16 = 0x5A5A;
    uint32_t v32 = 0x5A5A5A5A;
    int16_t i16 = 0x5A5A;
    uint8_t again[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    require(twl_decode_u8(src, avail, &v8) == (avail >= 1 ? 1u : 0u) && (avail >= 1 || v8 == 0x5A));
    require(twl_decode_u16(src, avail, &v16) == (avail >= 2 ? 2u : 0u) && (avail >= 2 || v16 == 0x5A5A));
    require(twl_decode_i16(src, avail, &i16) == (avail >= 2 ? 2u : 0u) && (avail >= 2 || i16 == 0x5A5A));
    require(twl_decode_u32(src, avail, &v32) == (avail >= 4 ? 4u : 0u) && (avail >= 4 || v32 == 0x5A5A5A5A));
    const size_t cap = avail < 4 ? avail : 3;
    require(twl_encode_u8(again, cap < 1 ? 0 : 4, 1) == (cap < 1 ? 0u : 1u));
    require(twl_encode_u16(again + 1, cap < 2 ? cap : 3, 1) == (cap < 2 ? 0u : 2u));
    require(twl_encode_i16(again + 1, cap < 2 ? cap : 3, 1) == (cap < 2 ? 0u : 2u));
    require(twl_encode_u32(again, cap, 1) == 0u && twl_encode_string(again, cap, "abc", 9) == 0u);
    require(again[0] == (cap < 1 ? 0x5A : 1) && again[3] == 0x5A);
    if (avail >= 1) require(twl_encode_u8(again, 1, v8) == 1 && again[0] == src[0]);
    if (avail >= 2) {
        require(twl_encode_u16(again, 2, v16) == 2 && std::memcmp(again, src, 2) == 0);
        require(twl_encode_i16(again, 2, i16) == 2 && std::memcmp(again, src, 2) == 0);
    }
    if (avail >= 4) require(twl_encode_u32(again, 4, v32) == 4 && std::memcmp(again, src, 4) == 0);
}

size_t check_string(const uint8_t *src, size_t avail, size_t out_cap) {
    std::vector<char> out(out_cap + 1, 'Z');  // one guard byte past the buffer
    size_t wire_len = 0xDEAD;
    const size_t used = twl_decode_string(src, avail, out.data(), out_cap, &wire_len);
    require(out[out_cap] == 'Z');
    if (used == 0) {
        require(wire_len == 0xDEAD);
        require(out_cap == 0 || avail < 2 || size_t(src[0] << 8 | src[1]) + 2 > avail);
        return 0;
    }
    require(out_cap > 0 && used == wire_len + 2 && used <= avail);
    const size_t copied = wire_len < out_cap ? wire_len : out_cap - 1;
    require(out[copied] == '\0');
    require(std::memcmp(out.data(), src + 2, copied) == 0);
    return used;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> bytes = exact_copy(data, size);
    const uint8_t *src = bytes.empty() ? nullptr : bytes.data();
    check_header(src, size);
    check_integers(src, size);
    // Walk the input as a sequence of strings, the output capacity taken from
    // each field's first length byte so that cuts of every size occur.
    size_t off = 0;
    while (off < size) {
        const size_t out_cap = size_t(src[off]) % 40;
        const size_t used = check_string(src + off, size - off, out_cap);
        off += used == 0 ? 1 : used;
    }
    return 0;
}
