#include "relay/twl_reader.h"

#include <cstring>
#include <iterator>
#include <type_traits>

namespace {

// The four bytes that open every frame.
constexpr char kMagic[] = TWL_MAGIC;
constexpr size_t kMagicSize = sizeof kMagic - 1;

const char *lookup_type_name(uint8_t type) {
    for (const twl_layout_t &m : twl_messages)
        if (m.type == type) return m.name;
    return nullptr;
}

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
        if (std::memcmp(base + at, kMagic, left < kMagicSize ? left : kMagicSize) == 0) break;
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

// The fields of every layout come from the lists of relay/twl_wire.h, each
// expanded below into straight-line reads into the view member of the
// field's name: a parser holds a payload to the order, widths, maxima, fixed
// bytes and flag bits that the table gives, as the builders write them.
struct walk {
    cursor &c;
    unsigned flags = 0;   // the record's flags, for its optional blocks
    unsigned left = 0;    // fields left in the open block
    unsigned bit = 0;     // the flag bit the open block needs
    uint32_t bytes = 0;   // the length that a LEN32 field announced
    // Whether the next field is on the wire.
    bool on() {
        if (left == 0) return true;
        --left;
        return (flags & bit) != 0;
    }
};
#define GET(from, KIND, NAME, name, arg, max) GET_##KIND(v.name, arg, max)
#define GET_U8(to, arg, max) if (w.on()) to = w.c.u8();
#define GET_U16(to, arg, max) if (w.on()) to = w.c.u16();
#define GET_U32(to, arg, max) if (w.on()) to = w.c.u32();
// Bits outside arg come from no builder.
#define GET_FLAGS(to, arg, max) \
    if (w.on()) w.flags = to = w.c.u8(), w.c.ok = w.c.ok && (w.flags & ~unsigned(arg)) == 0;
#define GET_FIXED(to, arg, max) if (w.on()) w.c.expect(arg);
#define GET_STR(to, arg, max) to = w.on() ? w.c.str(max) : w.c.absent();
#define GET_IF(to, arg, max) w.bit = arg, w.left = max;
#define GET_RECORD(to, arg, max) to = read_##arg(w.c);
#define GET_LEN32(to, arg, max) w.bytes = to = w.c.u32();
// The data length must account for exactly the bytes that follow.
#define GET_BYTES(to, arg, max) \
    to = w.c.at, w.c.ok = w.c.ok && w.c.left() == w.bytes, w.c.at = w.c.ok ? w.c.end : w.c.at;

// A record: read_MESSAGE, read_GUILD and so on.
#define READER(NAME, name)                              \
    twl_##name##_view_t read_##NAME(cursor &c) {        \
        walk w{c};                                      \
        twl_##name##_view_t v{};                        \
        TWL_FIELDS_##NAME(GET, )                        \
        return v;                                       \
    }
TWL_RECORDS(READER)
#undef READER

// A message with a view of its own.
#define PARSE(NAME)                   \
    cursor c = over(payload, len);    \
    walk w{c};                        \
    std::remove_reference_t<decltype(*out)> v{}; \
    TWL_FIELDS_##NAME(GET, )          \
    return finish(c, v, out);

// A list's fields before its entries.
struct list_head {
    uint16_t id = 0;
    uint8_t batch_flags = 0;
    uint16_t count = 0;
};
#define GET_COUNT8(to, arg, max) to = w.c.u8();
#define GET_COUNT16(to, arg, max) to = w.c.u16();
#define GET_ENTRIES(to, arg, max) const auto entry = &read_##arg;
#define PARSE_LIST(NAME)                                                                 \
    cursor c = over(payload, len);                                                      \
    walk w{c};                                                                          \
    list_head v{};                                                                      \
    TWL_FIELDS_##NAME(GET, )                                                            \
    if (!c.ok) return TWR_ERR_PROTO;                                                    \
    return finish_list(c, TWR_MSG_##NAME, v.id, v.batch_flags, v.count, entry, out);

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
        const size_t magic_seen = avail < kMagicSize ? avail : kMagicSize;
        bool rejected = std::memcmp(p, kMagic, magic_seen) != 0 ||
                        (avail > kMagicSize && p[kMagicSize] != TWR_PROTO_VERSION);
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
    PARSE(HANDSHAKE_ACK)
}

int twl_parse_auth_result(const uint8_t *payload, size_t len, twl_auth_result_view_t *out) {
    PARSE(AUTH_RESULT)
}

int twl_parse_status(const uint8_t *payload, size_t len, twl_status_view_t *out) { PARSE(STATUS) }

int twl_parse_error(const uint8_t *payload, size_t len, twl_error_view_t *out) { PARSE(ERROR) }

int twl_parse_gateway_state(const uint8_t *payload, size_t len, uint8_t *out_state) {
    struct gateway_state_view {
        uint8_t state;
    } view{}, *out = &view;
    const auto parse = [&]() { PARSE(GATEWAY_STATE) };
    if (parse() != TWR_OK) return TWR_ERR_PROTO;
    *out_state = view.state;
    return TWR_OK;
}

int twl_parse_pong(const uint8_t *payload, size_t len) {
    (void)payload;
    return len == 0 ? TWR_OK : TWR_ERR_PROTO;
}

// ---- Chat content ----

int twl_parse_message_create(const uint8_t *payload, size_t len, twl_message_create_view_t *out) {
    PARSE(MESSAGE_CREATE)
}

int twl_parse_message_delete(const uint8_t *payload, size_t len, twl_message_delete_view_t *out) {
    PARSE(MESSAGE_DELETE)
}

int twl_parse_message_update(const uint8_t *payload, size_t len, twl_message_update_view_t *out) {
    PARSE(MESSAGE_UPDATE)
}

int twl_parse_typing_start(const uint8_t *payload, size_t len, twl_typing_start_view_t *out) {
    PARSE(TYPING_START)
}

int twl_parse_unread_update(const uint8_t *payload, size_t len, twl_unread_update_view_t *out) {
    PARSE(UNREAD_UPDATE)
}

int twl_parse_guild_list(const uint8_t *payload, size_t len, twl_list_t *out) { PARSE_LIST(GUILD_LIST) }

int twl_parse_member_list(const uint8_t *payload, size_t len, twl_list_t *out) { PARSE_LIST(MEMBER_LIST) }

int twl_parse_dm_list(const uint8_t *payload, size_t len, twl_list_t *out) { PARSE_LIST(DM_LIST) }

int twl_parse_channel_list(const uint8_t *payload, size_t len, twl_list_t *out) { PARSE_LIST(CHANNEL_LIST) }

int twl_parse_message_batch(const uint8_t *payload, size_t len, twl_list_t *out) {
    // The builder keeps a batch within 64 KiB, whole records only.
    if (len > TWL_BATCH_MAX_PAYLOAD) return TWR_ERR_PROTO;
    PARSE_LIST(MESSAGE_BATCH)
}

bool twl_list_next_guild(twl_list_t *list, twl_guild_view_t *out) {
    return step(list, TWR_MSG_GUILD_LIST, &read_GUILD, out);
}

bool twl_list_next_member(twl_list_t *list, twl_member_view_t *out) {
    return step(list, TWR_MSG_MEMBER_LIST, &read_MEMBER, out);
}

bool twl_list_next_dm(twl_list_t *list, twl_dm_view_t *out) { return step(list, TWR_MSG_DM_LIST, &read_DM, out); }

bool twl_list_next_channel(twl_list_t *list, twl_channel_view_t *out) {
    return step(list, TWR_MSG_CHANNEL_LIST, &read_CHANNEL, out);
}

bool twl_list_next_message(twl_list_t *list, twl_message_view_t *out) {
    return step(list, TWR_MSG_MESSAGE_BATCH, &read_MESSAGE, out);
}

// ---- Media and voice ----

int twl_parse_image_data(const uint8_t *payload, size_t len, twl_image_data_view_t *out) {
    PARSE(IMAGE_DATA)
}

int twl_parse_voice_status(const uint8_t *payload, size_t len, twl_voice_status_view_t *out) {
    PARSE(VOICE_STATUS)
}

int twl_parse_voice_members(const uint8_t *payload, size_t len, twl_list_t *out) {
    PARSE_LIST(VOICE_MEMBERS)
}

bool twl_list_next_voice_member(twl_list_t *list, twl_voice_member_view_t *out) {
    return step(list, TWR_MSG_VOICE_MEMBERS, &read_VOICE_MEMBER, out);
}

int twl_parse_voice_speaking(const uint8_t *payload, size_t len, twl_voice_speaking_view_t *out) {
    PARSE(VOICE_SPEAKING)
}

int twl_parse_voice_error(const uint8_t *payload, size_t len, twl_voice_error_view_t *out) {
    PARSE(VOICE_ERROR)
}
