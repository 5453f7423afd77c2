// Every builder fed with fields carved from the input, its frame read back:
// the header is valid and announces exactly the payload, the payload stays
// within the limit, lists and batches parse as their counts say, and every
// field equals what went in after the documented cuts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "relay/twl.h"
#include "relay/twl_reader.h"

#include "fuzz_support.h"

namespace {

using fuzz::require;

// Carves values out of the input; past its end every value is 0.
struct Source {
    Source(const uint8_t *d, size_t n) : data(d), size(n) {}
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
    std::deque<std::string> kept;  // owns the texts handed out; a deque never moves them

    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() { return uint16_t(u8() << 8 | u8()); }
    uint32_t u32() { return uint32_t(u16()) << 16 | u16(); }

    // A text, sometimes null, mostly short, sometimes longer than any field
    // allows. Its bytes come from the input with NUL replaced: a C string
    // cannot carry one.
    const char *text() {
        const uint8_t shape = u8();
        if (shape == 0) return nullptr;
        size_t len = shape % 40;
        if (shape >= 0xF0) len = 2100 + (shape & 0x0F);  // over every maximum
        else if (shape >= 0xE0) len = 60 + u8();
        std::string &s = kept.emplace_back();
        for (size_t k = 0; k < len; ++k) {
            const uint8_t b = pos < size ? data[pos++] : uint8_t('a' + k % 26);
            s.push_back(b == 0 ? '0' : char(b));
        }
        return s.c_str();
    }
};

// The bytes a string field must carry: the text cut to the field's maximum.
std::string cut(const char *text, size_t max_len) {
    if (text == nullptr) return {};
    return std::string(text, strnlen(text, max_len));
}

void require_str(const twl_str_t &s, const char *text, size_t max_len) {
    const std::string want = cut(text, max_len);
    require(s.len == want.size());
    require(want.empty() || std::memcmp(s.ptr, want.data(), want.size()) == 0);
}

struct Frame {
    uint8_t *bytes = nullptr;
    size_t len = 0;
    ~Frame() { std::free(bytes); }
    const uint8_t *payload() const { return bytes + TWR_MSG_HEADER_SIZE; }
    size_t payload_len() const { return len - TWR_MSG_HEADER_SIZE; }
};

// The header is valid, of the right type, and announces exactly the bytes
// that follow it.
void require_frame(const Frame &f, uint8_t type) {
    require(f.bytes != nullptr && f.len >= TWR_MSG_HEADER_SIZE);
    uint8_t got_type = 0;
    uint32_t payload_len = 0;
    require(twl_decode_header(f.bytes, f.len, &got_type, &payload_len) == TWR_OK);
    require(got_type == type && payload_len == f.payload_len() && payload_len <= TWR_MSG_MAX_PAYLOAD);
}

constexpr size_t kName = 31;

twl_message carve_message(Source &in) {
    twl_message m{};
    m.id = in.u16();
    m.id_b = in.u16();
    m.value32 = in.u32();
    m.flags = in.u8();
    m.value16 = in.u16();
    m.name = in.text();
    m.text = in.text();
    m.item_id = in.u16();
    m.item_name = in.text();
    m.value16_b = in.u16();
    m.trailer_name = in.text();
    m.trailer_text = in.text();
    return m;
}

uint8_t written_flags(const twl_message &m) {
    return uint8_t(m.flags | (m.item_name != nullptr && m.item_name[0] != '\0' ? 0x02 : 0));
}

size_t record_size(const twl_message &m) {
    const uint8_t flags = written_flags(m);
    size_t size = 17 + cut(m.name, kName).size() + cut(m.text, 2000).size();
    if (flags & 0x02) size += 6 + cut(m.item_name, 63).size();
    if (flags & 0x04) size += 4 + cut(m.trailer_name, kName).size() + cut(m.trailer_text, 60).size();
    return size;
}

void require_message(const twl_message_view_t &v, const twl_message &m) {
    const uint8_t flags = written_flags(m);
    require(v.id == m.id && v.id_b == m.id_b && v.value32 == m.value32 && v.flags == flags);
    require(v.value16 == m.value16 && v.value16_b == m.value16_b);
    require_str(v.name, m.name, kName);
    require_str(v.text, m.text, 2000);
    if (flags & 0x02) {
        require(v.item_id == m.item_id);
        require_str(v.item_name, m.item_name, 63);
    }
    if (flags & 0x04) {
        require_str(v.trailer_name, m.trailer_name, kName);
        require_str(v.trailer_text, m.trailer_text, 60);
    }
}

template <typename Entry, typename Carve>
std::vector<Entry> carve_entries(Source &in, size_t count, Carve carve) {
    std::vector<Entry> entries(count);
    for (auto &e : entries) e = carve(in);
    return entries;
}

void guild_like(Source &in, bool member) {
    const uint16_t count = uint16_t(in.u8() % 64);
    const auto entries = carve_entries<twl_guild_entry>(in, count, [](Source &s) {
        return twl_guild_entry{s.u16(), s.text(), s.u8(), s.u16()};
    });
    Frame f;
    twl_list_t list;
    if (member) {
        std::vector<twl_member_entry> members;
        for (const auto &e : entries) members.push_back({e.id, e.name, e.value8, e.value16});
        f.bytes = twl_build_member_list(&f.len, members.data(), count);
        require_frame(f, TWR_MSG_MEMBER_LIST);
        require(twl_parse_member_list(f.payload(), f.payload_len(), &list) == TWR_OK);
    } else {
        f.bytes = twl_build_guild_list(&f.len, entries.data(), count);
        require_frame(f, TWR_MSG_GUILD_LIST);
        require(twl_parse_guild_list(f.payload(), f.payload_len(), &list) == TWR_OK);
    }
    require(list.count == count);
    for (const auto &e : entries) {
        twl_guild_view_t v{};
        twl_member_view_t mv{};
        if (member) {
            require(twl_list_next_member(&list, &mv));
            v = {mv.id, mv.name, mv.value8, mv.value16};
        } else {
            require(twl_list_next_guild(&list, &v));
        }
        require(v.id == e.id && v.value8 == e.value8 && v.value16 == e.value16);
        require_str(v.name, e.name, kName);
    }
    twl_guild_view_t extra;
    twl_member_view_t extra_member;
    require(member ? !twl_list_next_member(&list, &extra_member) : !twl_list_next_guild(&list, &extra));
}

void one_frame(Source &in) {
    Frame f;
    switch (in.u8() % 21) {
        case 0: {
            const uint8_t a = in.u8(), b = in.u8();
            const char *text = in.text();
            f.bytes = twl_build_handshake_ack(&f.len, a, b, text);
            require_frame(f, TWR_MSG_HANDSHAKE_ACK);
            twl_handshake_ack_view_t v;
            require(twl_parse_handshake_ack(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.value_a == a && v.value_b == b);
            require_str(v.text, text, 32);
            break;
        }
        case 1: {
            const uint8_t result = in.u8();
            const char *ta = in.text();
            const char *tb = in.text();
            const uint16_t value = in.u16();
            f.bytes = twl_build_auth_result(&f.len, result, ta, tb, value);
            require_frame(f, TWR_MSG_AUTH_RESULT);
            twl_auth_result_view_t v;
            require(twl_parse_auth_result(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.result == result && v.value == value);
            require_str(v.text_a, ta, 31);
            require_str(v.text_b, tb, 8);
            break;
        }
        case 2: {
            const uint8_t a = in.u8(), b = in.u8();
            const char *text = in.text();
            f.bytes = twl_build_status(&f.len, a, b, text);
            require_frame(f, TWR_MSG_STATUS);
            twl_status_view_t v;
            require(twl_parse_status(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.value_a == a && v.value_b == b);
            require_str(v.text, text, 128);
            break;
        }
        case 3: {
            const uint8_t a = in.u8();
            const uint16_t b = in.u16();
            const char *text = in.text();
            f.bytes = twl_build_error(&f.len, a, b, text);
            require_frame(f, TWR_MSG_ERROR);
            twl_error_view_t v;
            require(twl_parse_error(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.value_a == a && v.value_b == b);
            require_str(v.text, text, 256);
            break;
        }
        case 4: {
            const uint8_t state = in.u8();
            f.bytes = twl_build_gateway_state(&f.len, state);
            require_frame(f, TWR_MSG_GATEWAY_STATE);
            uint8_t got = 0;
            require(twl_parse_gateway_state(f.payload(), f.payload_len(), &got) == TWR_OK && got == state);
            break;
        }
        case 5:
            f.bytes = twl_build_pong(&f.len);
            require_frame(f, TWR_MSG_PONG);
            require(f.len == TWR_MSG_HEADER_SIZE && twl_parse_pong(f.payload(), 0) == TWR_OK);
            break;
        case 6:
            guild_like(in, false);
            break;
        case 7:
            guild_like(in, true);
            break;
        case 8: {
            const uint16_t count = uint16_t(in.u8() % 64);
            const auto entries = carve_entries<twl_dm_entry>(in, count, [](Source &s) {
                return twl_dm_entry{s.u16(), s.text(), s.u16(), s.u8()};
            });
            f.bytes = twl_build_dm_list(&f.len, entries.data(), count);
            require_frame(f, TWR_MSG_DM_LIST);
            twl_list_t list;
            require(twl_parse_dm_list(f.payload(), f.payload_len(), &list) == TWR_OK && list.count == count);
            for (const auto &e : entries) {
                twl_dm_view_t v;
                require(twl_list_next_dm(&list, &v));
                require(v.id == e.id && v.value16 == e.value16 && v.value8 == e.value8);
                require_str(v.name, e.name, kName);
            }
            break;
        }
        case 9: {
            const uint16_t id = in.u16();
            const uint16_t count = uint16_t(in.u8() % 64);
            const auto entries = carve_entries<twl_channel_entry>(in, count, [](Source &s) {
                return twl_channel_entry{s.u16(), s.u8(), s.text(), s.u8(), s.u16()};
            });
            f.bytes = twl_build_channel_list(&f.len, id, entries.data(), count);
            require_frame(f, TWR_MSG_CHANNEL_LIST);
            twl_list_t list;
            require(twl_parse_channel_list(f.payload(), f.payload_len(), &list) == TWR_OK);
            require(list.id == id && list.count == count);
            for (const auto &e : entries) {
                twl_channel_view_t v;
                require(twl_list_next_channel(&list, &v));
                require(v.id == e.id && v.value8_a == e.value8_a && v.value8_b == e.value8_b && v.value16 == e.value16);
                require_str(v.name, e.name, kName);
            }
            break;
        }
        case 10: {
            const uint16_t id = in.u16();
            const int flag_a = in.u8() % 3, flag_b = in.u8() % 3;
            // Up to 40 records, so that the 64 KiB area is sometimes full.
            const uint16_t count = uint16_t(in.u8() % 41);
            std::vector<twl_message> messages;
            for (uint16_t k = 0; k < count; ++k) messages.push_back(carve_message(in));
            f.bytes = twl_build_message_batch(&f.len, id, messages.data(), count, flag_a, flag_b);
            require_frame(f, TWR_MSG_MESSAGE_BATCH);
            // Whole records only, in array order, until one does not fit.
            const size_t area = std::min<size_t>(5 + size_t(count) * 2212, 65536);
            size_t used = 5, expected = 0;
            while (expected < count && used + record_size(messages[expected]) <= area)
                used += record_size(messages[expected++]);
            require(f.payload_len() == used);
            twl_list_t list;
            require(twl_parse_message_batch(f.payload(), f.payload_len(), &list) == TWR_OK);
            require(list.id == id && list.count == expected);
            require(list.flags == ((flag_a ? 0x01 : 0) | (flag_b ? 0x02 : 0)));
            for (size_t k = 0; k < expected; ++k) {
                twl_message_view_t v;
                require(twl_list_next_message(&list, &v));
                require_message(v, messages[k]);
            }
            break;
        }
        case 11: {
            const uint16_t id = in.u16();
            const twl_message m = carve_message(in);
            f.bytes = twl_build_message_create(&f.len, id, &m);
            require_frame(f, TWR_MSG_MESSAGE_CREATE);
            require(f.payload_len() == 2 + record_size(m));  // the whole record, trailer included
            twl_message_create_view_t v;
            require(twl_parse_message_create(f.payload(), f.payload_len(), &v) == TWR_OK && v.id == id);
            require_message(v.message, m);
            break;
        }
        case 12: {
            const uint16_t a = in.u16(), b = in.u16();
            f.bytes = twl_build_message_delete(&f.len, a, b);
            require_frame(f, TWR_MSG_MESSAGE_DELETE);
            twl_message_delete_view_t v;
            require(twl_parse_message_delete(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.id_a == a && v.id_b == b);
            break;
        }
        case 13: {
            const uint16_t a = in.u16(), b = in.u16();
            const char *text = in.text();
            f.bytes = twl_build_message_update(&f.len, a, b, text);
            require_frame(f, TWR_MSG_MESSAGE_UPDATE);
            twl_message_update_view_t v;
            require(twl_parse_message_update(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.id_a == a && v.id_b == b);
            require_str(v.text, text, 2000);
            break;
        }
        case 14: {
            const uint16_t id = in.u16();
            const char *name = in.text();
            f.bytes = twl_build_typing_start(&f.len, id, name);
            require_frame(f, TWR_MSG_TYPING_START);
            twl_typing_start_view_t v;
            require(twl_parse_typing_start(f.payload(), f.payload_len(), &v) == TWR_OK && v.id == id);
            require_str(v.name, name, kName);
            break;
        }
        case 15: {
            const uint16_t id = in.u16();
            const uint8_t v8 = in.u8();
            const uint16_t v16 = in.u16();
            f.bytes = twl_build_unread_update(&f.len, id, v8, v16);
            require_frame(f, TWR_MSG_UNREAD_UPDATE);
            twl_unread_update_view_t v;
            require(twl_parse_unread_update(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.id == id && v.value8 == v8 && v.value16 == v16);
            break;
        }
        case 16: {
            const uint16_t id = in.u16();
            const uint8_t a = in.u8(), b = in.u8(), c = in.u8();
            const uint16_t x = in.u16(), y = in.u16(), z = in.u16();
            const size_t n = in.u8() % 2 == 0 ? 0 : std::min<size_t>(in.u16(), in.size - std::min(in.pos, in.size));
            const uint8_t *data = n == 0 ? (in.u8() % 2 ? nullptr : in.data) : in.data + in.pos;
            f.bytes = twl_build_image_data(&f.len, id, a, b, c, x, y, z, data, uint32_t(n));
            require_frame(f, TWR_MSG_IMAGE_DATA);
            twl_image_data_view_t v;
            require(twl_parse_image_data(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.id == id && v.value8_a == a && v.value8_b == b && v.value8_c == c);
            require(v.value16_a == x && v.value16_b == y && v.value16_c == z && v.data_len == n);
            require(n == 0 || std::memcmp(v.data, data, n) == 0);
            in.pos += n;
            break;
        }
        case 17: {
            const uint8_t v8 = in.u8();
            const uint16_t id = in.u16();
            const char *name = in.text();
            f.bytes = twl_build_voice_status(&f.len, v8, id, name);
            require_frame(f, TWR_MSG_VOICE_STATUS);
            twl_voice_status_view_t v;
            require(twl_parse_voice_status(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.value8 == v8 && v.id == id);
            require_str(v.name, name, kName);
            break;
        }
        case 18: {
            const uint16_t id = in.u16();
            const uint8_t count = in.u8();
            const auto members = carve_entries<twl_voice_member>(in, count, [](Source &s) {
                return twl_voice_member{s.u16(), s.text(), s.u8()};
            });
            f.bytes = twl_build_voice_members(&f.len, id, members.data(), count);
            require_frame(f, TWR_MSG_VOICE_MEMBERS);
            twl_list_t list;
            require(twl_parse_voice_members(f.payload(), f.payload_len(), &list) == TWR_OK);
            require(list.id == id && list.count == count);
            for (const auto &e : members) {
                twl_voice_member_view_t v;
                require(twl_list_next_voice_member(&list, &v));
                require(v.id == e.id && v.value8 == e.value8);
                require_str(v.name, e.name, kName);
            }
            break;
        }
        case 19: {
            const uint16_t id = in.u16();
            const uint8_t v8 = in.u8();
            f.bytes = twl_build_voice_speaking(&f.len, id, v8);
            require_frame(f, TWR_MSG_VOICE_SPEAKING);
            twl_voice_speaking_view_t v;
            require(twl_parse_voice_speaking(f.payload(), f.payload_len(), &v) == TWR_OK);
            require(v.id == id && v.value8 == v8);
            break;
        }
        default: {
            const uint8_t v8 = in.u8();
            const char *text = in.text();
            f.bytes = twl_build_voice_error(&f.len, v8, text);
            require_frame(f, TWR_MSG_VOICE_ERROR);
            twl_voice_error_view_t v;
            require(twl_parse_voice_error(f.payload(), f.payload_len(), &v) == TWR_OK && v.value8 == v8);
            require_str(v.text, text, 128);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Source in(data, size);
    // A few frames per input, so that one run covers several builders.
    for (int k = 0; k < 4 && in.pos < size; ++k) one_frame(in);
    return 0;
}
