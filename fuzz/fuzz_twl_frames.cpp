// The frame readers and every payload parser on arbitrary bytes.
// The relay's reader, fed whole and in small chunks written straight into its
// buffer, and the client's C89 reader, fed in two random chunkings, find the
// same frames at the same offsets, skip the same bytes and leave the same
// cut frame at the end; the client's skips and frames follow one another
// without a gap and its cut ends with the stream. Each relay frame sits inside the buffer behind a
// valid header, and skipped, framed and pending bytes add up to the input.
// For every frame of a known type the typed parser and the client reader
// both refuse the payload or give the same fields; a parser never reads past
// the payload; whatever it accepts holds no 0 byte in a string and is
// exactly what its builder writes for the fields it gives back. Each string
// piece builds Pascal strings and gathers into short and long buffers as a
// Mac client would; every entry and record the client reader opens it
// closes with the same name and number, unless a fault or the stream's end
// comes first. The whole input goes through every parser too.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "relay/twl_reader.h"
#include "support/wire.h"

namespace {

using fuzz::require;

struct Frame {
    uint64_t offset, skipped;
    uint8_t type;
    uint64_t length;
    std::optional<wire::Record> fields;  // nullopt: refused, or a type without a layout
    bool operator==(const Frame &) const = default;
};

struct Stream {
    std::vector<Frame> frames;
    uint64_t skipped = 0, pending = 0;  // after the last frame: bytes skipped, then a cut frame
    bool operator==(const Stream &) const = default;
};

bool has_nul(const wire::Record &r) {
    return std::any_of(r.begin(), r.end(), [](const wire::Field &f) {
        const twl_field_t *l = wire::field_of("", f.name);
        return (l != nullptr && l->kind == TWL_F_STR && f.text.find('\0') != std::string::npos) || has_nul(f.sub);
    });
}

// The parser's fields from a copy of exactly the payload's size, checked
// against the builder; nullopt when it refuses.
std::optional<wire::Record> parse(const wire::Codec &c, const std::vector<uint8_t> &bytes) {
    auto fields = wire::parse(c, bytes.empty() ? nullptr : bytes.data(), bytes.size());
    if (!fields) return fields;
    require(!has_nul(*fields));
    const auto frame = wire::build(c, *fields);
    require(frame && std::equal(frame->begin() + TWR_MSG_HEADER_SIZE, frame->end(), bytes.begin(), bytes.end()));
    return fields;
}

Stream relay_side(const uint8_t *data, size_t size, size_t chunk_seed) {
    static std::vector<uint8_t> buf(TWR_READER_BUFFER_SIZE);
    twl_reader_t reader;
    require(twl_reader_init(&reader, buf.data(), buf.size()) == TWR_OK);
    Stream out;
    uint64_t framed = 0, skipped = 0;
    for (size_t pos = 0;;) {
        if (chunk_seed == 0) {
            pos += twl_reader_feed(&reader, data + pos, size - pos);
        } else if (pos < size) {
            size_t room = 0;
            uint8_t *at = twl_reader_space(&reader, &room);
            const size_t n = std::min({size_t(1 + (pos * 31 + chunk_seed) % 7), size - pos, room});
            std::copy_n(data + pos, n, at);
            twl_reader_commit(&reader, n);
            pos += n;
        }
        bool any = false;
        for (twl_frame_t f; twl_reader_next(&reader, &f); any = true) {
            require(f.payload >= buf.data() + TWR_MSG_HEADER_SIZE && f.payload + f.payload_len <= buf.data() + buf.size());
            uint8_t type = 0;
            uint32_t len = 0;
            require(twl_decode_header(f.payload - TWR_MSG_HEADER_SIZE, TWR_MSG_HEADER_SIZE, &type, &len) == TWR_OK);
            require(type == f.type && len == f.payload_len && f.offset == framed + skipped + f.skipped);
            skipped += f.skipped;
            framed += TWR_MSG_HEADER_SIZE + f.payload_len;
            const wire::Codec *c = nullptr;
            for (const wire::Codec &k : wire::codecs()) c = k.layout->type == f.type ? &k : c;
            out.frames.push_back({f.offset, f.skipped, f.type, f.payload_len,
                                  c ? parse(*c, {f.payload, f.payload + f.payload_len}) : std::nullopt});
        }
        if (pos >= size && !any) break;
    }
    out.skipped = twl_reader_skipped(&reader), out.pending = twl_reader_pending(&reader);
    require(framed + skipped + out.skipped + out.pending == size);
    return out;
}

Stream client_side(const uint8_t *data, size_t size, uint32_t seed) {
    twlc_reader r;
    twlc_init(&r);
    twlc_event ev;
    Stream out;
    uint64_t skipped = 0, at = 0;  // at: where the next skip or frame starts
    bool fault = false, known = false;
    wire::Record fields;
    unsigned char str31[32], wide[300], few[7], all[2000];
    unsigned long few_len = 0, all_len = 0;
    std::optional<twlc_event> open;  // the entry or record being read
    const auto take = [&](int kind) {
        wire::add_client_event(fields, kind, ev);
        if (kind == TWLC_EV_TEXT) {  // the string so far as Pascal strings of 31 bytes or 255, gathered whole or 7
            const std::string &text = (ev.depth == 0 || fields.empty() ? fields : fields.back().sub).back().text;
            const int last = twlc_pstring(str31, sizeof str31, &ev);
            require(twlc_pstring(wide, sizeof wide, &ev) == last && last == (ev.more == 0));
            require(twlc_gather(few, sizeof few, &few_len, &ev) == last && twlc_gather(all, sizeof all, &all_len, &ev) == last);
            require(std::string(str31 + 1, str31 + 1 + str31[0]) == text.substr(0, 31));
            require(std::string(wide + 1, wide + 1 + wide[0]) == text.substr(0, 255));
            require(std::string(few, few + few_len) == text.substr(0, 7) && std::string(all, all + all_len) == text);
        }
        if (kind == TWLC_EV_ENTRY || kind == TWLC_EV_RECORD) require(!open), open = ev;
        if (kind == TWLC_EV_ENTRY_END || kind == TWLC_EV_RECORD_END)
            require(open && open->event + 1 == kind && open->field == ev.field && open->name == ev.name && open->value == ev.value && open->depth == ev.depth), open.reset();
        if (kind == TWLC_EV_FAULT || kind == TWLC_EV_CUT) open.reset();
        if (kind == TWLC_EV_END) require(!open);
        if (kind == TWLC_EV_SKIP || kind == TWLC_EV_FRAME)
            require(ev.offset == at), at += ev.value + (kind == TWLC_EV_FRAME ? TWR_MSG_HEADER_SIZE : 0);
        if (kind == TWLC_EV_SKIP) skipped += ev.value;
        if (kind == TWLC_EV_CUT) require(ev.offset + ev.value == size), out.pending = ev.value;
        if (kind == TWLC_EV_FRAME) {
            out.frames.push_back({ev.offset, skipped, ev.type, ev.value, std::nullopt});
            skipped = 0, fault = false, known = ev.name != nullptr, fields.clear();
        }
        fault |= kind == TWLC_EV_FAULT;
        if (kind == TWLC_EV_END) require(ev.value == (!fault && known));
        if (kind == TWLC_EV_END && ev.value) out.frames.back().fields = fields;
    };
    for (size_t pos = 0; pos < size;) {
        seed = seed * 1103515245u + 12345u;
        unsigned long left = std::min<size_t>(1 + (seed >> 16) % 64, size - pos);
        const unsigned char *at = data + pos;
        pos += left;
        for (int kind; (kind = twlc_next(&r, &at, &left, &ev)) != TWLC_EV_NEED;) take(kind);
        require(left == 0);
    }
    for (int kind; (kind = twlc_finish(&r, &ev)) != TWLC_EV_NEED;) take(kind);
    // A frame still open when the stream ended is the relay reader's pending bytes.
    out.skipped = skipped;
    if (!out.frames.empty() && out.frames.back().offset + TWR_MSG_HEADER_SIZE + out.frames.back().length > size) {
        out.skipped += out.frames.back().skipped;
        out.frames.pop_back();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Stream relay = relay_side(data, size, 0);
    require(relay_side(data, size, 1 + size % 5) == relay);
    require(client_side(data, size, uint32_t(size)) == relay);
    require(client_side(data, size, size == 0 ? 7 : data[0] * 2654435761u) == relay);
    for (const wire::Codec &c : wire::codecs()) parse(c, std::vector<uint8_t>(data, data + size));
    return 0;
}
