// The frame reader and every payload parser on arbitrary bytes.
// Reader: the same frames come out whether the stream arrives whole or in
// small chunks, each frame sits inside the buffer behind a valid header,
// and skipped, framed and pending bytes add up to the input.
// Parsers: a payload is never read past its end, and whatever a parser
// accepts is exactly what the matching builder writes for the fields it
// returns (checked for the scalar messages and the lists).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "relay/twl.h"
#include "relay/twl_reader.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

struct Seen {
    uint8_t type;
    uint64_t offset, skipped;
    std::vector<uint8_t> payload;
    bool operator==(const Seen &) const = default;
};

constexpr size_t kBufferSize = 4096;  // frames longer than this are refused
uint8_t g_buf[kBufferSize];

std::vector<Seen> read_stream(const uint8_t *data, size_t size, size_t chunk_seed, uint64_t *skipped_total,
                              size_t *pending) {
    twl_reader_t reader;
    require(twl_reader_init(&reader, g_buf, sizeof g_buf) == TWR_OK);
    std::vector<Seen> seen;
    uint64_t framed = 0, skipped = 0;
    size_t pos = 0;
    for (;;) {
        if (pos < size) {
            size_t chunk = chunk_seed == 0 ? size - pos : 1 + (pos * 31 + chunk_seed) % 7;
            chunk = std::min(chunk, size - pos);
            const size_t took = twl_reader_feed(&reader, data + pos, chunk);
            pos += took;
        }
        twl_frame_t frame;
        bool any = false;
        while (twl_reader_next(&reader, &frame)) {
            any = true;
            // The payload lies in the buffer, right behind a valid header.
            require(frame.payload >= g_buf + TWR_MSG_HEADER_SIZE);
            require(frame.payload + frame.payload_len <= g_buf + sizeof g_buf);
            uint8_t type = 0;
            uint32_t len = 0;
            require(twl_decode_header(frame.payload - TWR_MSG_HEADER_SIZE, TWR_MSG_HEADER_SIZE, &type, &len) == TWR_OK);
            require(type == frame.type && len == frame.payload_len);
            require(frame.offset == framed + skipped + frame.skipped);
            skipped += frame.skipped;
            framed += TWR_MSG_HEADER_SIZE + frame.payload_len;
            seen.push_back({frame.type, frame.offset, frame.skipped,
                            std::vector<uint8_t>(frame.payload, frame.payload + frame.payload_len)});
        }
        if (pos >= size && !any) break;
    }
    *skipped_total = skipped + twl_reader_skipped(&reader);
    *pending = twl_reader_pending(&reader);
    require(framed + *skipped_total + *pending == size);
    return seen;
}

// Copies into a block of exactly the payload's size, so that any read past
// it is caught.
std::vector<uint8_t> exact(const uint8_t *data, size_t size) { return {data, data + size}; }

bool plain(const twl_str_t &s) { return std::memchr(s.ptr, 0, s.len) == nullptr; }
std::string text_of(const twl_str_t &s) { return std::string(reinterpret_cast<const char *>(s.ptr), s.len); }

void require_inside(const twl_str_t &s, const uint8_t *p, size_t n) {
    require(s.len == 0 || (s.ptr >= p && s.ptr + s.len <= p + n));
}

// The length is read through a pointer: the builder that stores it is one of
// the arguments, and arguments are evaluated in no fixed order.
void require_same(uint8_t *frame, const size_t *len, const uint8_t *payload, size_t n) {
    require(frame != nullptr && *len == n + TWR_MSG_HEADER_SIZE);
    require(n == 0 || std::memcmp(frame + TWR_MSG_HEADER_SIZE, payload, n) == 0);
    std::free(frame);
}

void parse_all(const std::vector<uint8_t> &bytes) {
    const uint8_t *p = bytes.empty() ? nullptr : bytes.data();
    const size_t n = bytes.size();
    size_t len = 0;
    {
        twl_handshake_ack_view_t v;
        if (twl_parse_handshake_ack(p, n, &v) == TWR_OK && plain(v.text)) {
            require_inside(v.text, p, n);
            require_same(twl_build_handshake_ack(&len, v.value_a, v.value_b, text_of(v.text).c_str()), &len, p, n);
        }
    }
    {
        twl_auth_result_view_t v;
        if (twl_parse_auth_result(p, n, &v) == TWR_OK && plain(v.text_a) && plain(v.text_b))
            require_same(twl_build_auth_result(&len, v.result, text_of(v.text_a).c_str(), text_of(v.text_b).c_str(), v.value), &len, p, n);
    }
    {
        twl_status_view_t v;
        if (twl_parse_status(p, n, &v) == TWR_OK && plain(v.text))
            require_same(twl_build_status(&len, v.value_a, v.value_b, text_of(v.text).c_str()), &len, p, n);
    }
    {
        twl_error_view_t v;
        if (twl_parse_error(p, n, &v) == TWR_OK && plain(v.text))
            require_same(twl_build_error(&len, v.value_a, v.value_b, text_of(v.text).c_str()), &len, p, n);
    }
    {
        uint8_t state = 0;
        if (twl_parse_gateway_state(p, n, &state) == TWR_OK) require_same(twl_build_gateway_state(&len, state), &len, p, n);
        if (twl_parse_pong(p, n) == TWR_OK) require(n == 0);
    }
    {
        twl_message_create_view_t v;
        if (twl_parse_message_create(p, n, &v) == TWR_OK) {
            require_inside(v.message.text, p, n);
            require_inside(v.message.trailer_text, p, n);
        }
    }
    {
        twl_message_delete_view_t v;
        if (twl_parse_message_delete(p, n, &v) == TWR_OK) require_same(twl_build_message_delete(&len, v.id_a, v.id_b), &len, p, n);
    }
    {
        twl_message_update_view_t v;
        if (twl_parse_message_update(p, n, &v) == TWR_OK && plain(v.text))
            require_same(twl_build_message_update(&len, v.id_a, v.id_b, text_of(v.text).c_str()), &len, p, n);
    }
    {
        twl_typing_start_view_t v;
        if (twl_parse_typing_start(p, n, &v) == TWR_OK && plain(v.name))
            require_same(twl_build_typing_start(&len, v.id, text_of(v.name).c_str()), &len, p, n);
    }
    {
        twl_unread_update_view_t v;
        if (twl_parse_unread_update(p, n, &v) == TWR_OK)
            require_same(twl_build_unread_update(&len, v.id, v.value8, v.value16), &len, p, n);
    }
    {
        twl_image_data_view_t v;
        if (twl_parse_image_data(p, n, &v) == TWR_OK)
            require_same(twl_build_image_data(&len, v.id, v.value8_a, v.value8_b, v.value8_c, v.value16_a, v.value16_b,
                                              v.value16_c, v.data, v.data_len), &len, p, n);
    }
    {
        twl_voice_status_view_t v;
        if (twl_parse_voice_status(p, n, &v) == TWR_OK && plain(v.name))
            require_same(twl_build_voice_status(&len, v.value8, v.id, text_of(v.name).c_str()), &len, p, n);
    }
    {
        twl_voice_speaking_view_t v;
        if (twl_parse_voice_speaking(p, n, &v) == TWR_OK) require_same(twl_build_voice_speaking(&len, v.id, v.value8), &len, p, n);
    }
    {
        twl_voice_error_view_t v;
        if (twl_parse_voice_error(p, n, &v) == TWR_OK && plain(v.text))
            require_same(twl_build_voice_error(&len, v.value8, text_of(v.text).c_str()), &len, p, n);
    }
    // Lists: walking takes exactly count entries, each inside the payload.
    twl_list_t list;
    if (twl_parse_guild_list(p, n, &list) == TWR_OK) {
        std::vector<std::string> names;
        std::vector<twl_guild_entry> entries;
        twl_guild_view_t v;
        bool all_plain = true;
        while (twl_list_next_guild(&list, &v)) {
            require_inside(v.name, p, n);
            all_plain = all_plain && plain(v.name);
            names.push_back(text_of(v.name));
            entries.push_back({v.id, nullptr, v.value8, v.value16});
        }
        require(list.left == 0 && entries.size() == list.count);
        for (size_t k = 0; k < entries.size(); ++k) entries[k].name = names[k].c_str();
        if (all_plain) require_same(twl_build_guild_list(&len, entries.data(), list.count), &len, p, n);
    }
    if (twl_parse_member_list(p, n, &list) == TWR_OK) {
        twl_member_view_t v;
        uint16_t taken = 0;
        while (twl_list_next_member(&list, &v)) ++taken;
        require(taken == list.count);
    }
    if (twl_parse_dm_list(p, n, &list) == TWR_OK) {
        twl_dm_view_t v;
        uint16_t taken = 0;
        while (twl_list_next_dm(&list, &v)) ++taken;
        require(taken == list.count);
    }
    if (twl_parse_channel_list(p, n, &list) == TWR_OK) {
        twl_channel_view_t v;
        uint16_t taken = 0;
        while (twl_list_next_channel(&list, &v)) ++taken;
        require(taken == list.count);
    }
    if (twl_parse_message_batch(p, n, &list) == TWR_OK) {
        twl_message_view_t v;
        uint16_t taken = 0;
        while (twl_list_next_message(&list, &v)) {
            require_inside(v.text, p, n);
            ++taken;
        }
        require(taken == list.count);
    }
    if (twl_parse_voice_members(p, n, &list) == TWR_OK) {
        twl_voice_member_view_t v;
        uint16_t taken = 0;
        while (twl_list_next_voice_member(&list, &v)) ++taken;
        require(taken == list.count);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t skipped_whole = 0, skipped_chunked = 0;
    size_t pending_whole = 0, pending_chunked = 0;
    const auto whole = read_stream(data, size, 0, &skipped_whole, &pending_whole);
    const auto chunked = read_stream(data, size, 1 + (size % 5), &skipped_chunked, &pending_chunked);
    require(whole == chunked && skipped_whole == skipped_chunked && pending_whole == pending_chunked);

    // Every frame's payload through every parser, and the raw input too.
    for (const auto &frame : whole) parse_all(frame.payload);
    parse_all(exact(data, size));
    return 0;
}
