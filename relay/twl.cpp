#include "relay/twl.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

namespace {

// The four bytes that open every frame.
constexpr char kMagic[] = TWL_MAGIC;
static_assert(sizeof kMagic - 1 == 4);

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

// Field writers shared by the public encoders and the builders: each checks
// its room, writes at buf[0] and returns its width, or 0 with nothing written.
constexpr size_t field_u8(uint8_t *buf, size_t cap, uint8_t v) noexcept {
    if (cap < 1) return 0;
    buf[0] = v;
    return 1;
}
constexpr size_t field_u16(uint8_t *buf, size_t cap, uint16_t v) noexcept {
    if (cap < 2) return 0;
    put_be16(buf, v);
    return 2;
}
constexpr size_t field_u32(uint8_t *buf, size_t cap, uint32_t v) noexcept {
    if (cap < 4) return 0;
    put_be32(buf, v);
    return 4;
}

// A string field measured once: the bytes to send, already cut to the
// field's maximum. Measuring is the costly half of a string field, so a
// builder that must know a record's size before writing it keeps the Text.
struct Text {
    const char *bytes;
    size_t n;
};
Text cut(const char *text, size_t max_len) noexcept {
    if (text == nullptr) return {"", 0};
    // strnlen: a field never needs more than max_len bytes of the text.
    return {text, strnlen(text, max_len)};
}
constexpr size_t wire_size(Text t) noexcept { return 2 + t.n; }
// Writes the field at p, which has room for it, and returns its end.
uint8_t *put_text(uint8_t *p, Text t) noexcept {
    put_be16(p, uint16_t(t.n));
    std::memcpy(p + 2, t.bytes, t.n);
    return p + wire_size(t);
}
size_t field_text(uint8_t *buf, size_t cap, Text t) noexcept {
    if (cap < wire_size(t)) return 0;
    put_text(buf, t);
    return wire_size(t);
}
size_t field_bytes(uint8_t *buf, size_t cap, const uint8_t *src, size_t n) noexcept {
    if (cap < n) return 0;
    if (n != 0) std::memcpy(buf, src, n);
    return n;
}

}  // namespace

size_t twl_encode_u8(uint8_t *buf, size_t cap, uint8_t v) { return field_u8(buf, cap, v); }

size_t twl_encode_u16(uint8_t *buf, size_t cap, uint16_t v) { return field_u16(buf, cap, v); }

size_t twl_encode_u32(uint8_t *buf, size_t cap, uint32_t v) { return field_u32(buf, cap, v); }

size_t twl_encode_i16(uint8_t *buf, size_t cap, int16_t v) {
    return field_u16(buf, cap, std::bit_cast<uint16_t>(v));
}

size_t twl_encode_string(uint8_t *buf, size_t cap, const char *text, size_t max_len) {
    if (max_len > kMaxStringLen) max_len = kMaxStringLen;
    return field_text(buf, cap, cut(text, max_len));
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
    std::memcpy(buf, kMagic, sizeof kMagic - 1);
    buf[4] = TWR_PROTO_VERSION;
    buf[5] = msg_type;
    put_be32(buf + 6, payload_len);
    return TWR_MSG_HEADER_SIZE;
}

int twl_decode_header(const uint8_t *src, size_t avail, uint8_t *out_type, uint32_t *out_payload_len) {
    if (avail < TWR_MSG_HEADER_SIZE) return TWR_ERR_PROTO;
    if (std::memcmp(src, kMagic, sizeof kMagic - 1) != 0) return TWR_ERR_PROTO;
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

// ---- Typed builders ----------------------------------------------------------
//
// Every builder is the same three steps: reserve an area for its payload,
// append the fields with Appender, and put the header in front. Areas are
// sized from the field maxima below, so an append never runs out of room
// except where a batch reaches its 64 KiB cap, and there the decision is made
// once per record, before any of it is written. A payload on the stack is
// then copied into a frame of its size; one built in the heap is written in
// place after room for the header, and the block is shrunk to fit.

namespace {

// The fields of every layout come from the lists of relay/twl_wire.h, each
// expanded below into straight-line appends, so that a builder writes the
// fields, their order, their widths and their maxima as the table says.

// Largest payloads: the builders' scratch sizes.
#define PAYLOAD_MAX(NAME, code, cap) [[maybe_unused]] constexpr size_t kMax_##NAME = TWL_PAYLOAD_MAX(NAME, cap);
TWL_MESSAGES(PAYLOAD_MAX)
#undef PAYLOAD_MAX
constexpr size_t kRecordMax = TWL_RECORD_MAX_MESSAGE;
constexpr size_t kBatchPayloadMax = TWL_BATCH_MAX_PAYLOAD;

// The fields of a list that come before its entries.
constexpr unsigned char kWidth[] = TWL_FIELD_WIDTHS;
#define HEAD(from, KIND, NAME, name, arg, max) +kWidth[TWL_F_##KIND]
constexpr size_t kBatchHead = 0 TWL_FIELDS_MESSAGE_BATCH(HEAD, );
constexpr size_t kListHead = 0 TWL_FIELDS_GUILD_LIST(HEAD, );
static_assert(kListHead == (0 TWL_FIELDS_MEMBER_LIST(HEAD, )) && kListHead == (0 TWL_FIELDS_DM_LIST(HEAD, )));
constexpr size_t kChannelListHead = 0 TWL_FIELDS_CHANNEL_LIST(HEAD, );
constexpr size_t kVoiceMembersHead = 0 TWL_FIELDS_VOICE_MEMBERS(HEAD, );
constexpr size_t kImageHead = 0 TWL_FIELDS_IMAGE_DATA(HEAD, );
#undef HEAD
static_assert(kBatchHead + 29 * kRecordMax <= kBatchPayloadMax);  // the promise of relay/twl.h

// List areas: each entry's allowance covers its largest form, so an area
// sized count x allowance + head never runs short.
constexpr size_t kListAllowance = 40;
static_assert(TWL_RECORD_MAX_GUILD <= kListAllowance && TWL_RECORD_MAX_MEMBER <= kListAllowance &&
              TWL_RECORD_MAX_DM <= kListAllowance);
constexpr size_t kChannelAllowance = 42;
static_assert(TWL_RECORD_MAX_CHANNEL <= kChannelAllowance);
constexpr size_t kVoiceMemberAllowance = 40;
static_assert(TWL_RECORD_MAX_VOICE_MEMBER <= kVoiceMemberAllowance);

// The header reader refuses a payload over TWR_MSG_MAX_PAYLOAD, so no
// builder may hand one out.
constexpr size_t kImageDataMax = TWR_MSG_MAX_PAYLOAD - kImageHead;

// Appends one field, taken from the builder's parameter or the entry's
// member (`from` is empty or "e.") of the field's name.
#define PUT(from, KIND, NAME, name, arg, max) PUT_##KIND(from name, arg, max)
#define PUT_U8(v, arg, max) out.u8(v);
#define PUT_U16(v, arg, max) out.u16(v);
#define PUT_U32(v, arg, max) out.u32(v);
#define PUT_FLAGS(v, arg, max) out.u8(v);
#define PUT_FIXED(v, arg, max) out.u8(arg);
#define PUT_STR(v, arg, max) out.text(v, max);
#define PUT_COUNT8(v, arg, max) out.u8(v);
#define PUT_COUNT16(v, arg, max) out.u16(v);
#define PUT_ENTRIES(v, arg, max) /* written by build_list */
#define PUT_RECORD(v, arg, max) out.record(measure(*v), *v);  // the area holds the largest record
#define PUT_LEN32(v, arg, max) out.u32(v); const size_t bytes_len = v;
#define PUT_BYTES(v, arg, max) out.bytes(v, bytes_len);

// Which fields of a record are on the wire: an IF field opens a block of
// its next max fields, there only when the record's flags have its bit.
struct Gate {
    unsigned bit = 0, left = 0;
    void open(unsigned b, unsigned n) noexcept { bit = b, left = n; }
    bool on(unsigned flags) noexcept {
        if (left == 0) return true;
        --left;
        return (flags & bit) != 0;
    }
};

struct Record;

// The one way a builder appends a field: at p + off with cap - off bytes
// left, advancing off by the bytes the field took.
struct Appender {
    uint8_t *p;
    size_t cap;
    size_t off = 0;

    void u8(uint8_t v) noexcept { off += field_u8(p + off, cap - off, v); }
    void u16(uint16_t v) noexcept { off += field_u16(p + off, cap - off, v); }
    void u32(uint32_t v) noexcept { off += field_u32(p + off, cap - off, v); }
    void text(Text t) noexcept { off += field_text(p + off, cap - off, t); }
    void text(const char *s, size_t max_len) noexcept { text(cut(s, max_len)); }
    void bytes(const uint8_t *src, size_t n) noexcept { off += field_bytes(p + off, cap - off, src, n); }
    // Appends a whole measured message record, or nothing when it does not fit.
    void record(const Record &r, const twl_message &m) noexcept;
};

// A message record with its strings measured, so that its size is known
// before any byte of it is written: a Text for each string field.
#define TEXT_OF(from, KIND, NAME, name, arg, max) TEXT_OF_##KIND(name)
#define TEXT_OF_STR(name) Text name;
#define TEXT_OF_U16(name)
#define TEXT_OF_U32(name)
#define TEXT_OF_FLAGS(name)
#define TEXT_OF_FIXED(name)
#define TEXT_OF_IF(name)
struct Record {
    uint8_t flags;  // as written: TWR_MSG_FLAG_ITEM added for a non-empty item_name
    TWL_FIELDS_MESSAGE(TEXT_OF, )
    size_t size;
};

// The record's fields, as many as its flags put on the wire.
#define MEASURE(from, KIND, NAME, name, arg, max) MEASURE_##KIND(name, arg, max)
#define MEASURE_STR(name, arg, max) \
    if (gate.on(r.flags)) r.name = cut(m.name, max), r.size += wire_size(r.name); else r.name = Text{};
#define MEASURE_U16(name, arg, max) if (gate.on(r.flags)) r.size += kWidth[TWL_F_U16];
#define MEASURE_U32(name, arg, max) if (gate.on(r.flags)) r.size += kWidth[TWL_F_U32];
#define MEASURE_FLAGS(name, arg, max) if (gate.on(r.flags)) r.size += kWidth[TWL_F_FLAGS];
#define MEASURE_FIXED(name, arg, max) if (gate.on(r.flags)) r.size += kWidth[TWL_F_FIXED];
#define MEASURE_IF(name, arg, max) gate.open(arg, max);
Record measure(const twl_message &m) noexcept {
    Record r;  // every member is set below: zero-filling it first costs as much as its strings
    r.size = 0;
    r.flags = m.flags;
    if (m.item_name != nullptr && m.item_name[0] != '\0') r.flags |= TWR_MSG_FLAG_ITEM;
    Gate gate;
    TWL_FIELDS_MESSAGE(MEASURE, )
    return r;
}

// Writes a measured message record at dst, which holds r.size bytes, and
// returns r.size. The measure counted each field this writes, so no field
// checks its room again.
#define WRITE(from, KIND, NAME, name, arg, max) WRITE_##KIND(name, arg, max)
#define WRITE_STR(name, arg, max) if (gate.on(r.flags)) p = put_text(p, r.name);
#define WRITE_U16(name, arg, max) if (gate.on(r.flags)) put_be16(p, m.name), p += 2;
#define WRITE_U32(name, arg, max) if (gate.on(r.flags)) put_be32(p, m.name), p += 4;
#define WRITE_FLAGS(name, arg, max) if (gate.on(r.flags)) *p++ = r.flags;
#define WRITE_FIXED(name, arg, max) if (gate.on(r.flags)) *p++ = arg;
#define WRITE_IF(name, arg, max) gate.open(arg, max);
size_t encode_one_message(uint8_t *dst, const Record &r, const twl_message &m) noexcept {
    uint8_t *p = dst;
    Gate gate;
    TWL_FIELDS_MESSAGE(WRITE, )
    return size_t(p - dst);
}

void Appender::record(const Record &r, const twl_message &m) noexcept {
    if (r.size <= cap - off) off += encode_one_message(p + off, r, m);
}

// The one batch rule, for the builder and for twl_fit_message_batch: records
// go in array order, each whole, and the batch ends at the first that would
// take the payload past kBatchPayloadMax, or at the count field's limit. take
// sees each record that fits; the result is how many did.
template <typename Take>
uint16_t batch_prefix(const twl_message *messages, size_t count, Take take) noexcept {
    size_t room = kBatchPayloadMax - kBatchHead;
    uint16_t n = 0;
    for (; n < count && n < UINT16_MAX; ++n) {
        const Record r = measure(messages[n]);
        if (r.size > room) break;
        room -= r.size;
        take(r, messages[n]);
    }
    return n;
}

uint8_t *refuse(size_t *out_len) noexcept {
    *out_len = 0;
    return nullptr;
}

template <size_t Cap, typename Fill>
uint8_t *build_fixed(size_t *out_len, uint8_t type, Fill fill) noexcept {
    static_assert(Cap <= TWR_MSG_MAX_PAYLOAD);
    uint8_t scratch[Cap];
    Appender out{scratch, Cap};
    fill(out);
    uint8_t *frame = nullptr;
    *out_len = twl_build_message(&frame, type, scratch, out.off);
    return frame;
}

// The payload is written after room for the header, in a block with cap
// bytes for it. One the header reader would reject (a long list of long
// names can pass 2 MiB) is refused.
template <typename Fill>
uint8_t *build_allocated(size_t *out_len, uint8_t type, size_t cap, Fill fill) noexcept {
    auto *frame = static_cast<uint8_t *>(std::malloc(TWR_MSG_HEADER_SIZE + cap));
    if (frame == nullptr) return refuse(out_len);
    Appender out{frame + TWR_MSG_HEADER_SIZE, cap};
    fill(out);
    if (out.off > TWR_MSG_MAX_PAYLOAD) {
        std::free(frame);
        return refuse(out_len);
    }
    *out_len = twl_encode_header(frame, TWR_MSG_HEADER_SIZE, type, uint32_t(out.off)) + out.off;
    // A failed shrink leaves the whole block, which serves as well.
    if (out.off < cap) {
        if (void *fitted = std::realloc(frame, *out_len)) frame = static_cast<uint8_t *>(fitted);
    }
    return frame;
}

// A list: its head fields, then count entries in array order. The entry
// array is not read when count is 0.
template <typename Entry, typename Head, typename Each>
uint8_t *build_list(size_t *out_len, uint8_t type, size_t head_size, size_t allowance,
                    const Entry *entries, size_t count, Head head, Each each) noexcept {
    if (entries == nullptr && count != 0) return refuse(out_len);
    return build_allocated(out_len, type, head_size + count * allowance, [&](Appender &out) {
        head(out);
        for (size_t k = 0; k < count; ++k) each(out, entries[k]);
    });
}

// One list entry, from the entry struct's members of the fields' names.
#define PUT_ENTRY(NAME, Entry) [](Appender &out, const Entry &e) noexcept { TWL_FIELDS_##NAME(PUT, e.) }
constexpr auto put_guild_entry = PUT_ENTRY(GUILD, twl_guild_entry);
constexpr auto put_member_entry = PUT_ENTRY(MEMBER, twl_member_entry);
constexpr auto put_dm_entry = PUT_ENTRY(DM, twl_dm_entry);
constexpr auto put_channel_entry = PUT_ENTRY(CHANNEL, twl_channel_entry);
constexpr auto put_voice_member = PUT_ENTRY(VOICE_MEMBER, twl_voice_member);

}  // namespace

// ---- Handshake and control ----

uint8_t *twl_build_handshake_ack(size_t *out_len, uint8_t value_a, uint8_t value_b, const char *text) {
    return build_fixed<kMax_HANDSHAKE_ACK>(out_len, TWR_MSG_HANDSHAKE_ACK,
                                          [&](Appender &out) { TWL_FIELDS_HANDSHAKE_ACK(PUT, ) });
}

uint8_t *twl_build_auth_result(size_t *out_len, uint8_t result, const char *text_a, const char *text_b,
                               uint16_t value) {
    return build_fixed<kMax_AUTH_RESULT>(out_len, TWR_MSG_AUTH_RESULT,
                                        [&](Appender &out) { TWL_FIELDS_AUTH_RESULT(PUT, ) });
}

uint8_t *twl_build_status(size_t *out_len, uint8_t value_a, uint8_t value_b, const char *text) {
    return build_fixed<kMax_STATUS>(out_len, TWR_MSG_STATUS, [&](Appender &out) { TWL_FIELDS_STATUS(PUT, ) });
}

uint8_t *twl_build_error(size_t *out_len, uint8_t value_a, uint16_t value_b, const char *text) {
    return build_fixed<kMax_ERROR>(out_len, TWR_MSG_ERROR, [&](Appender &out) { TWL_FIELDS_ERROR(PUT, ) });
}

uint8_t *twl_build_gateway_state(size_t *out_len, uint8_t state) {
    return build_fixed<kMax_GATEWAY_STATE>(out_len, TWR_MSG_GATEWAY_STATE,
                                          [&](Appender &out) { TWL_FIELDS_GATEWAY_STATE(PUT, ) });
}

// ---- Chat content ----

uint8_t *twl_build_guild_list(size_t *out_len, const twl_guild_entry *entries, uint16_t count) {
    return build_list(out_len, TWR_MSG_GUILD_LIST, kListHead, kListAllowance, entries, count,
                      [&](Appender &out) { TWL_FIELDS_GUILD_LIST(PUT, ) }, put_guild_entry);
}

uint8_t *twl_build_member_list(size_t *out_len, const twl_member_entry *entries, uint16_t count) {
    return build_list(out_len, TWR_MSG_MEMBER_LIST, kListHead, kListAllowance, entries, count,
                      [&](Appender &out) { TWL_FIELDS_MEMBER_LIST(PUT, ) }, put_member_entry);
}

uint8_t *twl_build_dm_list(size_t *out_len, const twl_dm_entry *entries, uint16_t count) {
    return build_list(out_len, TWR_MSG_DM_LIST, kListHead, kListAllowance, entries, count,
                      [&](Appender &out) { TWL_FIELDS_DM_LIST(PUT, ) }, put_dm_entry);
}

uint8_t *twl_build_channel_list(size_t *out_len, uint16_t id, const twl_channel_entry *entries,
                                uint16_t count) {
    return build_list(out_len, TWR_MSG_CHANNEL_LIST, kChannelListHead, kChannelAllowance, entries, count,
                      [&](Appender &out) { TWL_FIELDS_CHANNEL_LIST(PUT, ) }, put_channel_entry);
}

uint8_t *twl_build_message_batch(size_t *out_len, uint16_t id, const twl_message *messages, uint16_t count,
                                 int flag_a, int flag_b) {
    if (messages == nullptr && count != 0) return refuse(out_len);
    const size_t cap = std::min(kBatchHead + count * kRecordMax, kBatchPayloadMax);
    return build_allocated(out_len, TWR_MSG_MESSAGE_BATCH, cap, [&](Appender &out) {
        const auto batch_flags = uint8_t((flag_a != 0 ? TWR_BATCH_FLAG_A : 0) | (flag_b != 0 ? TWR_BATCH_FLAG_B : 0));
        TWL_FIELDS_MESSAGE_BATCH(PUT, )
        const size_t count_at = out.off - kWidth[TWL_F_COUNT16];  // the count ends the head
        // The records present are a prefix of the array; the count says how long.
        const uint16_t written =
            batch_prefix(messages, count, [&](const Record &r, const twl_message &m) { out.record(r, m); });
        field_u16(out.p + count_at, out.cap - count_at, written);
    });
}

size_t twl_fit_message_batch(const twl_message *messages, size_t count) {
    if (messages == nullptr) return 0;
    return batch_prefix(messages, count, [](const Record &, const twl_message &) {});
}

uint8_t *twl_build_message_create(size_t *out_len, uint16_t id, const twl_message *message) {
    if (message == nullptr) return refuse(out_len);
    return build_allocated(out_len, TWR_MSG_MESSAGE_CREATE, kMax_MESSAGE_CREATE,
                           [&](Appender &out) { TWL_FIELDS_MESSAGE_CREATE(PUT, ) });
}

uint8_t *twl_build_message_delete(size_t *out_len, uint16_t id_a, uint16_t id_b) {
    return build_fixed<kMax_MESSAGE_DELETE>(out_len, TWR_MSG_MESSAGE_DELETE,
                                           [&](Appender &out) { TWL_FIELDS_MESSAGE_DELETE(PUT, ) });
}

uint8_t *twl_build_message_update(size_t *out_len, uint16_t id_a, uint16_t id_b, const char *text) {
    return build_allocated(out_len, TWR_MSG_MESSAGE_UPDATE, kMax_MESSAGE_UPDATE,
                           [&](Appender &out) { TWL_FIELDS_MESSAGE_UPDATE(PUT, ) });
}

uint8_t *twl_build_typing_start(size_t *out_len, uint16_t id, const char *name) {
    return build_fixed<kMax_TYPING_START>(out_len, TWR_MSG_TYPING_START,
                                         [&](Appender &out) { TWL_FIELDS_TYPING_START(PUT, ) });
}

uint8_t *twl_build_unread_update(size_t *out_len, uint16_t id, uint8_t value8, uint16_t value16) {
    return build_fixed<kMax_UNREAD_UPDATE>(out_len, TWR_MSG_UNREAD_UPDATE,
                                          [&](Appender &out) { TWL_FIELDS_UNREAD_UPDATE(PUT, ) });
}

// ---- Media and voice ----

uint8_t *twl_build_image_data(size_t *out_len, uint16_t id, uint8_t value8_a, uint8_t value8_b,
                              uint8_t value8_c, uint16_t value16_a, uint16_t value16_b, uint16_t value16_c,
                              const uint8_t *data, uint32_t data_len) {
    if (data == nullptr && data_len != 0) return refuse(out_len);
    // Refused before allocating: the size is known up front.
    if (data_len > kImageDataMax) return refuse(out_len);
    return build_allocated(out_len, TWR_MSG_IMAGE_DATA, kImageHead + data_len,
                           [&](Appender &out) { TWL_FIELDS_IMAGE_DATA(PUT, ) });
}

uint8_t *twl_build_voice_status(size_t *out_len, uint8_t value8, uint16_t id, const char *name) {
    return build_fixed<kMax_VOICE_STATUS>(out_len, TWR_MSG_VOICE_STATUS,
                                         [&](Appender &out) { TWL_FIELDS_VOICE_STATUS(PUT, ) });
}

uint8_t *twl_build_voice_members(size_t *out_len, uint16_t id, const twl_voice_member *members,
                                 uint8_t count) {
    return build_list(out_len, TWR_MSG_VOICE_MEMBERS, kVoiceMembersHead, kVoiceMemberAllowance, members,
                      count, [&](Appender &out) { TWL_FIELDS_VOICE_MEMBERS(PUT, ) }, put_voice_member);
}

uint8_t *twl_build_voice_speaking(size_t *out_len, uint16_t id, uint8_t value8) {
    return build_fixed<kMax_VOICE_SPEAKING>(out_len, TWR_MSG_VOICE_SPEAKING,
                                           [&](Appender &out) { TWL_FIELDS_VOICE_SPEAKING(PUT, ) });
}

uint8_t *twl_build_voice_error(size_t *out_len, uint8_t value8, const char *text) {
    return build_fixed<kMax_VOICE_ERROR>(out_len, TWR_MSG_VOICE_ERROR,
                                        [&](Appender &out) { TWL_FIELDS_VOICE_ERROR(PUT, ) });
}
