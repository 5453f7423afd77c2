// The frame reader and every payload parser on arbitrary bytes.
// Reader: the same frames come out whether the stream arrives whole or in
// small chunks, each frame sits inside the buffer behind a valid header,
// and skipped, framed and pending bytes add up to the input.
// Parsers: a payload is never read past its end, and whatever a parser
// accepts is exactly what its builder writes for the fields it gives back.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "relay/twl_reader.h"
#include "support/wire.h"

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
        if (pos < size && chunk_seed == 0) {
            pos += twl_reader_feed(&reader, data + pos, size - pos);
        } else if (pos < size) {  // in small chunks, written straight into the buffer
            size_t room = 0;
            uint8_t *at = twl_reader_space(&reader, &room);
            const size_t n = std::min({size_t(1 + (pos * 31 + chunk_seed) % 7), size - pos, room});
            std::copy_n(data + pos, n, at);
            twl_reader_commit(&reader, n);
            pos += n;
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

// A 0 byte inside a string field (byte fields may hold any byte).
bool is_string_field(const std::string &name) {
    static const std::set<std::string> names = [] {
        std::set<std::string> s;
        for (const auto *table : {twl_messages, twl_records}) {
            const size_t n = table == twl_messages ? TWL_MESSAGE_COUNT : TWL_RECORD_COUNT;
            for (size_t i = 0; i < n; i++)
                for (const twl_field_t *f = table[i].fields; f->kind != TWL_F_END; f++)
                    if (f->kind == TWL_F_STR) s.insert(f->name);
        }
        return s;
    }();
    return names.count(name) != 0;
}

bool has_nul(const wire::Record &r) {
    return std::any_of(r.begin(), r.end(), [](const wire::Field &f) {
        return (is_string_field(f.name) && f.text.find('\0') != std::string::npos) || has_nul(f.sub);
    });
}

// Each parser gets a copy of exactly the payload's size, so that any read
// past it is caught; what it accepts its builder must write again.
void parse_all(const std::vector<uint8_t> &bytes) {
    const uint8_t *p = bytes.empty() ? nullptr : bytes.data();
    for (const wire::Codec &c : wire::codecs()) {
        const auto fields = wire::parse(c, p, bytes.size());
        if (!fields) continue;
        require(!has_nul(*fields));  // no builder writes one
        const auto frame = wire::build(c, *fields);
        require(frame && std::equal(frame->begin() + TWR_MSG_HEADER_SIZE, frame->end(), bytes.begin(), bytes.end()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t skipped_whole = 0, skipped_chunked = 0;
    size_t pending_whole = 0, pending_chunked = 0;
    const auto whole = read_stream(data, size, 0, &skipped_whole, &pending_whole);
    const auto chunked = read_stream(data, size, 1 + (size % 5), &skipped_chunked, &pending_chunked);
    require(whole == chunked && skipped_whole == skipped_chunked && pending_whole == pending_chunked);

    for (const auto &frame : whole) parse_all(frame.payload);
    parse_all(std::vector<uint8_t>(data, data + size));
    return 0;
}
