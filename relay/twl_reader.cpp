#include "relay/twl_reader.h"

#include <cstring>
#include <iterator>

#include "relay/detail/twl_wire.h"

namespace {


// Field maxima, as the builders cut them. A longer string cannot come from
// a builder, so a parser treats it as a damaged payload.
using namespace twl_wire;
constexpr uint8_t kBatchFlags = TWR_BATCH_FLAG_A | TWR_BATCH_FLAG_B;

struct type_name {
    uint8_t type;
    const char *name;
};
constexpr type_name kTypeNames[] = {
    {TWR_MSG_HANDSHAKE_ACK, "HANDSHAKE_ACK"}, {TWR_MSG_AUTH_RESULT, "AUTH_RESULT"},
    {TWR_MSG_GUILD_LIST, "GUILD_LIST"},       {TWR_MSG_CHANNEL_LIST, "CHANNEL_LIST"},
    {TWR_MSG_MESSAGE_BATCH, "MESSAGE_BATCH"}, {TWR_MSG_MESSAGE_CREATE, "MESSAGE_CREATE"},
    {TWR_MSG_MESSAGE_DELETE, "MESSAGE_DELETE"}, {TWR_MSG_MESSAGE_UPDATE, "MESSAGE_UPDATE"},
    {TWR_MSG_TYPING_START, "TYPING_START"},   {TWR_MSG_IMAGE_DATA, "IMAGE_DATA"},
    {TWR_MSG_STATUS, "STATUS"},               {TWR_MSG_ERROR, "ERROR"},
    {TWR_MSG_UNREAD_UPDATE, "UNREAD_UPDATE"}, {TWR_MSG_DM_LIST, "DM_LIST"},
    {TWR_MSG_MEMBER_LIST, "MEMBER_LIST"},     {TWR_MSG_GATEWAY_STATE, "GATEWAY_STATE"},
    {TWR_MSG_PONG, "PONG"},                   {TWR_MSG_VOICE_STATUS, "VOICE_STATUS"},
    {TWR_MSG_VOICE_MEMBERS, "VOICE_MEMBERS"}, {TWR_MSG_VOICE_SPEAKING, "VOICE_SPEAKING"},
    {TWR_MSG_VOICE_ERROR, "VOICE_ERROR"},
};
// 0x81 to 0x96 without 0x8A.
static_assert(std::size(kTypeNames) == 0x96 - 0x81 + 1 - 1);

constexpr const char *lookup_type_name(uint8_t type) {
    for (const type_name &t : kTypeNames)
        if (t.type == type) return t.name;
    return nullptr;
}
static_assert(lookup_type_name(0x8A) == nullptr);
static_assert(lookup_type_name(0x92)[0] == 'P');

// ---- Frame reader helpers ----

size_t pending(const twl_reader_t *r) { return r->end - r->start; }

void drop(twl_reader_t *r, size_t n) {
    r->start += n;
    r->offset += n;
}

// Unread bytes go to the front so that the whole tail is free. Bytes move
// only after what lay ahead of them was consumed, and a frame in progress
// stays put until it completes, so moving costs linear time whatever the
// chunk sizes.
void compact(twl_reader_t *r) {
    if (r->start == 0) return;
    const size_t n = pending(r);
    if (n != 0) std::memmove(r->buf, r->buf + r->start, n);
    r->start = 0;
    r->end = n;
}

// The bytes at start do not open an acceptable frame: discard them up to
// the next place where "TRWK" starts, or where the buffered bytes end in a
// prefix of it that the next chunk may complete.
void skip_to_magic(twl_reader_t *r) {
    const uint8_t *const base = r->buf + r->start;
    const size_t avail = pending(r);
    size_t at = 1;
    while (at < avail) {
        const void *hit = std::memchr(base + at, kMagic[0], avail - at);
        if (hit == nullptr) {
            at = avail;
            break;
        }
        at = size_t(static_cast<const uint8_t *>(hit) - base);
        const size_t left = avail - at;
        if (std::memcmp(base + at, kMagic, left < sizeof kMagic ? left : sizeof kMagic) == 0) break;
        ++at;
    }
    drop(r, at);
    r->skipped += at;
}

// ---- Payload cursor ----

// Reads fields front to back. The first read that runs past the end sets
// ok to false; every later read then returns zero without touching memory,
// so a parser reads all its fields and checks once at the end.
struct cursor {
    const uint8_t *at;
    const uint8_t *end;
    bool ok = true;

    size_t left() const { return size_t(end - at); }

    uint8_t u8() {
        uint8_t v = 0;
        if (ok && twl_decode_u8(at, left(), &v) != 0) at += 1;
        else ok = false;
        return v;
    }
    uint16_t u16() {
        uint16_t v = 0;
        if (ok && twl_decode_u16(at, left(), &v) != 0) at += 2;
        else ok = false;
        return v;
    }
    uint32_t u32() {
        uint32_t v = 0;
        if (ok && twl_decode_u32(at, left(), &v) != 0) at += 4;
        else ok = false;
        return v;
    }
    twl_str_t str(uint16_t max) {
        const uint16_t n = u16();
        twl_str_t s{at, 0};
        if (!ok || n > max || n > left()) {
            ok = false;
            return s;
        }
        // No builder can write a 0 byte: it would end the C string it came from.
        if (std::memchr(at, 0, n) != nullptr) {
            ok = false;
            return s;
        }
        s.len = n;
        at += n;
        return s;
    }
    // A string that the layout leaves out: empty, pointing where it would be.
    twl_str_t absent() const { return twl_str_t{at, 0}; }
    // A byte with only one acceptable value.
    void expect(uint8_t want) {
        if (u8() != want) ok = false;
    }
    // The whole payload was read and nothing was left over.
    bool done() const { return ok && at == end; }
};

cursor over(const uint8_t *payload, size_t len) {
    // A null payload is only ever empty; both ends null then compare equal.
    if (payload == nullptr) return cursor{nullptr, nullptr, len == 0};
    // No frame can carry more, so no builder writes more.
    return cursor{payload, payload + len, len <= TWR_MSG_MAX_PAYLOAD};
}

// Copies the view out only when the whole payload was consumed cleanly.
template <typename View>
int finish(const cursor &c, const View &v, View *out) {
    if (!c.done()) return TWR_ERR_PROTO;
    *out = v;
    return TWR_OK;
}

twl_message_view_t read_message(cursor &c) {
    twl_message_view_t m{};
    m.id = c.u16();
    m.id_b = c.u16();
    m.value32 = c.u32();
    m.flags = c.u8();
    m.value16 = c.u16();
    m.name = c.str(kNameMax);
    m.text = c.str(kMessageTextMax);
    if (m.flags & TWR_MSG_FLAG_ITEM) {
        c.expect(kItemCount);
        m.item_name = c.str(kItemNameMax);
        c.expect(kItemKind);
        m.item_id = c.u16();
    } else {
        m.item_name = c.absent();
    }
    m.value16_b = c.u16();
    if (m.flags & TWR_MSG_FLAG_TRAILER) {
        m.trailer_name = c.str(kNameMax);
        m.trailer_text = c.str(kTrailerTextMax);
    } else {
        m.trailer_name = c.absent();
        m.trailer_text = c.absent();
    }
    return m;
}

// Guild and member entries share their layout and field names.
template <typename View>
View read_named_entry(cursor &c) {
    View e{};
    e.id = c.u16();
    e.name = c.str(kNameMax);
    e.value8 = c.u8();
    e.value16 = c.u16();
    return e;
}

twl_dm_view_t read_dm(cursor &c) {
    twl_dm_view_t e{};
    e.id = c.u16();
    e.name = c.str(kNameMax);
    e.value16 = c.u16();
    e.value8 = c.u8();
    return e;
}

twl_channel_view_t read_channel(cursor &c) {
    twl_channel_view_t e{};
    e.id = c.u16();
    e.value8_a = c.u8();
    e.name = c.str(kNameMax);
    e.value8_b = c.u8();
    e.value16 = c.u16();
    return e;
}

twl_voice_member_view_t read_voice_member(cursor &c) {
    twl_voice_member_view_t e{};
    e.id = c.u16();
    e.name = c.str(kNameMax);
    e.value8 = c.u8();
    return e;
}

template <typename View>
using entry_reader = View (*)(cursor &);

// Walks every entry the header promised: a count larger than the bytes
// hold fails on the way, a smaller one leaves bytes over. Only a list that
// checks out whole becomes a cursor, so a caller never acts on the first
// entries of a list that turns out to be damaged.
template <typename View>
int finish_list(cursor c, uint8_t type, uint16_t id, uint8_t flags, uint16_t count,
                entry_reader<View> read, twl_list_t *out) {
    const uint8_t *const first = c.at;
    for (uint32_t k = 0; k < count && c.ok; ++k) read(c);
    if (!c.done()) return TWR_ERR_PROTO;
    *out = twl_list_t{type, id, flags, count, count, first, c.end};
    return TWR_OK;
}

template <typename View>
bool step(twl_list_t *list, uint8_t type, entry_reader<View> read, View *out) {
    if (list->type != type || list->left == 0) return false;
    cursor c{list->at, list->end};
    const View v = read(c);
    if (!c.ok) return false;  // unreachable for a list that its parser accepted
    list->at = c.at;
    --list->left;
    *out = v;
    return true;
}

int parse_counted_list_u16(const uint8_t *payload, size_t len, uint8_t type, twl_list_t *out,
                           auto read) {
    cursor c = over(payload, len);
    const uint16_t count = c.u16();
    if (!c.ok) return TWR_ERR_PROTO;
    return finish_list(c, type, 0, 0, count, read, out);
}

}  // namespace

// ---- Frame reader ----

int twl_reader_init(twl_reader_t *reader, uint8_t *buf, size_t cap) {
    if (buf == nullptr || cap < TWR_MSG_HEADER_SIZE) return TWR_ERR_NOMEM;
    *reader = twl_reader_t{buf, cap, 0, 0, 0, 0};
    return TWR_OK;
}

size_t twl_reader_feed(twl_reader_t *reader, const uint8_t *data, size_t len) {
    compact(reader);
    const size_t room = reader->cap - reader->end;
    const size_t n = len < room ? len : room;
    if (n != 0) std::memcpy(reader->buf + reader->end, data, n);
    reader->end += n;
    return n;
}

uint8_t *twl_reader_space(twl_reader_t *reader, size_t *room) {
    compact(reader);
    *room = reader->cap - reader->end;
    return reader->buf + reader->end;
}

void twl_reader_commit(twl_reader_t *reader, size_t n) {
    const size_t room = reader->cap - reader->end;
    reader->end += n < room ? n : room;
}

bool twl_reader_next(twl_reader_t *reader, twl_frame_t *frame) {
    for (;;) {
        const uint8_t *const p = reader->buf + reader->start;
        const size_t avail = pending(reader);
        if (avail == 0) return false;
        // Judge the magic and the version as soon as their bytes are here:
        // waiting for a whole header would hold back the scan for nothing.
        const size_t magic_seen = avail < sizeof kMagic ? avail : sizeof kMagic;
        bool rejected = std::memcmp(p, kMagic, magic_seen) != 0 ||
                        (avail > sizeof kMagic && p[sizeof kMagic] != TWR_PROTO_VERSION);
        if (!rejected) {
            if (avail < TWR_MSG_HEADER_SIZE) return false;
            uint8_t type = 0;
            uint32_t payload_len = 0;
            // A frame that cannot fit the buffer could never complete: it is
            // refused here rather than left to stall the stream.
            rejected = twl_decode_header(p, avail, &type, &payload_len) != TWR_OK ||
                       payload_len > reader->cap - TWR_MSG_HEADER_SIZE;
            if (!rejected) {
                const size_t total = TWR_MSG_HEADER_SIZE + size_t(payload_len);
                if (avail < total) return false;
                *frame = twl_frame_t{type, payload_len, p + TWR_MSG_HEADER_SIZE, reader->offset,
                                     reader->skipped};
                drop(reader, total);
                reader->skipped = 0;
                return true;
            }
        }
        skip_to_magic(reader);
    }
}

size_t twl_reader_pending(const twl_reader_t *reader) { return pending(reader); }

uint64_t twl_reader_skipped(const twl_reader_t *reader) { return reader->skipped; }

uint64_t twl_reader_offset(const twl_reader_t *reader) { return reader->offset; }

const char *twl_msg_type_name(uint8_t type) { return lookup_type_name(type); }

// ---- Control messages ----

int twl_parse_handshake_ack(const uint8_t *payload, size_t len, twl_handshake_ack_view_t *out) {
    cursor c = over(payload, len);
    twl_handshake_ack_view_t v{};
    v.value_a = c.u8();
    v.value_b = c.u8();
    c.expect(0);  // reserved
    v.text = c.str(kHandshakeTextMax);
    return finish(c, v, out);
}

int twl_parse_auth_result(const uint8_t *payload, size_t len, twl_auth_result_view_t *out) {
    cursor c = over(payload, len);
    twl_auth_result_view_t v{};
    v.result = c.u8();
    v.text_a = c.str(kNameMax);
    v.text_b = c.str(kAuthTextBMax);
    v.value = c.u16();
    return finish(c, v, out);
}

int twl_parse_status(const uint8_t *payload, size_t len, twl_status_view_t *out) {
    cursor c = over(payload, len);
    twl_status_view_t v{};
    v.value_a = c.u8();
    v.value_b = c.u8();
    v.text = c.str(kStatusTextMax);
    return finish(c, v, out);
}

int twl_parse_error(const uint8_t *payload, size_t len, twl_error_view_t *out) {
    cursor c = over(payload, len);
    twl_error_view_t v{};
    v.value_a = c.u8();
    v.value_b = c.u16();
    v.text = c.str(kErrorTextMax);
    return finish(c, v, out);
}

int twl_parse_gateway_state(const uint8_t *payload, size_t len, uint8_t *out_state) {
    cursor c = over(payload, len);
    const uint8_t state = c.u8();
    return finish(c, state, out_state);
}

int twl_parse_pong(const uint8_t *payload, size_t len) {
    (void)payload;
    return len == 0 ? TWR_OK : TWR_ERR_PROTO;
}

// ---- Chat content ----

int twl_parse_message_create(const uint8_t *payload, size_t len, twl_message_create_view_t *out) {
    cursor c = over(payload, len);
    twl_message_create_view_t v{};
    v.id = c.u16();
    v.message = read_message(c);
    return finish(c, v, out);
}

int twl_parse_message_delete(const uint8_t *payload, size_t len, twl_message_delete_view_t *out) {
    cursor c = over(payload, len);
    twl_message_delete_view_t v{};
    v.id_a = c.u16();
    v.id_b = c.u16();
    return finish(c, v, out);
}

int twl_parse_message_update(const uint8_t *payload, size_t len, twl_message_update_view_t *out) {
    cursor c = over(payload, len);
    twl_message_update_view_t v{};
    v.id_a = c.u16();
    v.id_b = c.u16();
    v.text = c.str(kMessageTextMax);
    return finish(c, v, out);
}

int twl_parse_typing_start(const uint8_t *payload, size_t len, twl_typing_start_view_t *out) {
    cursor c = over(payload, len);
    twl_typing_start_view_t v{};
    v.id = c.u16();
    v.name = c.str(kNameMax);
    return finish(c, v, out);
}

int twl_parse_unread_update(const uint8_t *payload, size_t len, twl_unread_update_view_t *out) {
    cursor c = over(payload, len);
    twl_unread_update_view_t v{};
    v.id = c.u16();
    v.value8 = c.u8();
    v.value16 = c.u16();
    return finish(c, v, out);
}

int twl_parse_guild_list(const uint8_t *payload, size_t len, twl_list_t *out) {
    return parse_counted_list_u16(payload, len, TWR_MSG_GUILD_LIST, out,
                                  &read_named_entry<twl_guild_view_t>);
}

int twl_parse_member_list(const uint8_t *payload, size_t len, twl_list_t *out) {
    return parse_counted_list_u16(payload, len, TWR_MSG_MEMBER_LIST, out,
                                  &read_named_entry<twl_member_view_t>);
}

int twl_parse_dm_list(const uint8_t *payload, size_t len, twl_list_t *out) {
    return parse_counted_list_u16(payload, len, TWR_MSG_DM_LIST, out, &read_dm);
}

int twl_parse_channel_list(const uint8_t *payload, size_t len, twl_list_t *out) {
    cursor c = over(payload, len);
    const uint16_t id = c.u16();
    const uint16_t count = c.u16();
    if (!c.ok) return TWR_ERR_PROTO;
    return finish_list(c, TWR_MSG_CHANNEL_LIST, id, 0, count, &read_channel, out);
}

int twl_parse_message_batch(const uint8_t *payload, size_t len, twl_list_t *out) {
    // The builder keeps a batch within 64 KiB, whole records only.
    if (len > kBatchPayloadMax) return TWR_ERR_PROTO;
    cursor c = over(payload, len);
    const uint16_t id = c.u16();
    const uint8_t flags = c.u8();
    const uint16_t count = c.u16();
    if (!c.ok || (flags & ~kBatchFlags) != 0) return TWR_ERR_PROTO;
    return finish_list(c, TWR_MSG_MESSAGE_BATCH, id, flags, count, &read_message, out);
}

bool twl_list_next_guild(twl_list_t *list, twl_guild_view_t *out) {
    return step(list, TWR_MSG_GUILD_LIST, &read_named_entry<twl_guild_view_t>, out);
}

bool twl_list_next_member(twl_list_t *list, twl_member_view_t *out) {
    return step(list, TWR_MSG_MEMBER_LIST, &read_named_entry<twl_member_view_t>, out);
}

bool twl_list_next_dm(twl_list_t *list, twl_dm_view_t *out) {
    return step(list, TWR_MSG_DM_LIST, &read_dm, out);
}

bool twl_list_next_channel(twl_list_t *list, twl_channel_view_t *out) {
    return step(list, TWR_MSG_CHANNEL_LIST, &read_channel, out);
}

bool twl_list_next_message(twl_list_t *list, twl_message_view_t *out) {
    return step(list, TWR_MSG_MESSAGE_BATCH, &read_message, out);
}

// ---- Media and voice ----

int twl_parse_image_data(const uint8_t *payload, size_t len, twl_image_data_view_t *out) {
    cursor c = over(payload, len);
    twl_image_data_view_t v{};
    v.id = c.u16();
    v.value8_a = c.u8();
    v.value8_b = c.u8();
    v.value8_c = c.u8();
    v.value16_a = c.u16();
    v.value16_b = c.u16();
    v.value16_c = c.u16();
    v.data_len = c.u32();
    v.data = c.at;
    // The data length must account for exactly the bytes that follow.
    if (!c.ok || c.left() != v.data_len) return TWR_ERR_PROTO;
    c.at = c.end;
    return finish(c, v, out);
}

int twl_parse_voice_status(const uint8_t *payload, size_t len, twl_voice_status_view_t *out) {
    cursor c = over(payload, len);
    twl_voice_status_view_t v{};
    v.value8 = c.u8();
    v.id = c.u16();
    v.name = c.str(kNameMax);
    return finish(c, v, out);
}

int twl_parse_voice_members(const uint8_t *payload, size_t len, twl_list_t *out) {
    cursor c = over(payload, len);
    const uint16_t id = c.u16();
    const uint8_t count = c.u8();
    if (!c.ok) return TWR_ERR_PROTO;
    return finish_list(c, TWR_MSG_VOICE_MEMBERS, id, 0, count, &read_voice_member, out);
}

bool twl_list_next_voice_member(twl_list_t *list, twl_voice_member_view_t *out) {
    return step(list, TWR_MSG_VOICE_MEMBERS, &read_voice_member, out);
}

int twl_parse_voice_speaking(const uint8_t *payload, size_t len, twl_voice_speaking_view_t *out) {
    cursor c = over(payload, len);
    twl_voice_speaking_view_t v{};
    v.id = c.u16();
    v.value8 = c.u8();
    return finish(c, v, out);
}

int twl_parse_voice_error(const uint8_t *payload, size_t len, twl_voice_error_view_t *out) {
    cursor c = over(payload, len);
    twl_voice_error_view_t v{};
    v.value8 = c.u8();
    v.text = c.str(kVoiceErrorTextMax);
    return finish(c, v, out);
}
