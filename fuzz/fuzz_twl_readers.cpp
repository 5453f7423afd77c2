// The relay's frame reader and typed parsers against the client's C89
// streaming reader, on the same bytes: the client reader takes them in
// chunks of random sizes. Both must find the same frames at the same
// offsets, skip the same bytes, leave the same cut frame at the end, and
// for every frame of a known type either both refuse the payload or both
// give the same fields.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "relay/twl_reader.h"
#include "support/wire.h"
#include "twl_client.h"

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
    uint64_t tail = 0;  // bytes after the last frame: skipped or a cut frame
    bool operator==(const Stream &) const = default;
};

const wire::Codec *codec_for(uint8_t type) {
    for (const wire::Codec &c : wire::codecs())
        if (c.layout->type == type) return &c;
    return nullptr;
}

Stream relay_side(const uint8_t *data, size_t size) {
    static std::vector<uint8_t> buf(TWR_READER_BUFFER_SIZE);
    twl_reader_t reader;
    require(twl_reader_init(&reader, buf.data(), buf.size()) == TWR_OK);
    require(twl_reader_feed(&reader, data, size) == size);
    Stream out;
    for (twl_frame_t f; twl_reader_next(&reader, &f);) {
        const wire::Codec *c = codec_for(f.type);
        out.frames.push_back({f.offset, f.skipped, f.type, f.payload_len,
                              c ? wire::parse(*c, f.payload, f.payload_len) : std::nullopt});
    }
    out.tail = twl_reader_skipped(&reader) + twl_reader_pending(&reader);
    return out;
}

Stream client_side(const uint8_t *data, size_t size, uint32_t seed) {
    twlc_reader r;
    twlc_init(&r);
    twlc_event ev;
    Stream out;
    uint64_t skipped = 0;
    bool fault = false, known = false;
    wire::Record fields;
    const auto take = [&](int kind) {
        wire::Record &level = ev.depth == 0 || fields.empty() ? fields : fields.back().sub;
        const auto field = [&ev](wire::Field::Kind k) {
            return wire::Field{k, ev.name, k == wire::Field::kInt ? ev.value : 0, {}, {}};
        };
        switch (kind) {
        case TWLC_SKIP: skipped += ev.value; break;
        case TWLC_FRAME:
            out.frames.push_back({ev.offset, skipped, ev.type, ev.value, std::nullopt});
            skipped = 0, fault = false, known = ev.name != nullptr, fields.clear();
            break;
        case TWLC_FIELD: level.push_back(field(wire::Field::kInt)); break;
        case TWLC_ENTRY:
        case TWLC_RECORD: fields.push_back(field(wire::Field::kRecord)); break;
        case TWLC_TEXT:
            if (ev.more + ev.size == ev.value) level.push_back(field(wire::Field::kText));
            level.back().text.append(reinterpret_cast<const char *>(ev.data), ev.size);
            break;
        case TWLC_FAULT: fault = true; break;
        case TWLC_END:
            require(ev.value == (!fault && known));
            if (ev.value) out.frames.back().fields = fields;
            break;
        case TWLC_CUT: skipped += ev.value; break;
        }
    };
    size_t pos = 0;
    while (pos < size) {
        seed = seed * 1103515245u + 12345u;
        unsigned long left = std::min<size_t>(1 + (seed >> 16) % 64, size - pos);
        const unsigned char *at = data + pos;
        pos += left;
        for (int kind; (kind = twlc_next(&r, &at, &left, &ev)) != TWLC_NEED;) take(kind);
        require(left == 0);
    }
    for (int kind; (kind = twlc_finish(&r, &ev)) != TWLC_NEED;) take(kind);
    // A frame still open when the stream ended is the relay reader's pending bytes.
    out.tail = skipped;
    if (!out.frames.empty() && out.frames.back().offset + TWR_MSG_HEADER_SIZE + out.frames.back().length > size) {
        out.tail += out.frames.back().skipped;
        out.frames.pop_back();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Stream relay = relay_side(data, size);
    require(client_side(data, size, uint32_t(size)) == relay);
    require(client_side(data, size, size == 0 ? 7 : data[0] * 2654435761u) == relay);
    return 0;
}
