// Reading TWL: the stream reader under every way of chunking, its recovery
// from damaged headers, each payload parser against hand-written payloads
// and all of their truncations, and twl-dump against a golden transcript.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "relay/twl_reader.h"
#include "support/test_support.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes str(const std::string &s) { return bytes(s.begin(), s.end()); }

// "TRWK", version 1, the type and the big-endian payload length.
bytes frame(uint8_t type, const bytes &payload) {
    const size_t n = payload.size();
    return cat({{'T', 'R', 'W', 'K', 0x01, type, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                 uint8_t(n)},
                payload});
}

// ---- Hand-written payloads, one per message type ----

const bytes kHandshake = {0x01, 0x02, 0x00, 0x00, 0x06, 'T', 'W', ' ', '1', '.', '0'};
const bytes kAuth = {0x05, 0x00, 0x02, 'a', 'b', 0x00, 0x01, 'c', 0x12, 0x34};
const bytes kStatus = {0x01, 0x02, 0x00, 0x03, 'o', 'k', '!'};
const bytes kError = {0x07, 0x01, 0x02, 0x00, 0x01, 'e'};
const bytes kGateway = {0x02};
// Message create 0x0102 with flags 0x06: item block and trailer.
const bytes kCreate = cat({
    {0x01, 0x02},                             // id 258
    {0x00, 0x07, 0x00, 0x09},                 // id 7, id_b 9
    {0x00, 0x01, 0x00, 0x00},                 // value32 65536
    {0x06},                                   // flags
    {0x00, 0x03},                             // value16
    {0x00, 0x03, 'A', 'n', 'n'},              // name
    {0x00, 0x12, 0x01, 'H', 'i', 0x01, ' ', 0x02, 'x', 0x02, ' ', 0x03, 'c', 0x03, ' ', 0xA5, ' ',
     '<', '"', '\\'},                         // text, 18 bytes
    {0x01, 0x00, 0x07, 'p', 'i', 'c', '.', 'g', 'i', 'f', 0x01, 0x00, 0x10},  // item block, item_id 16
    {0x02, 0x03},                             // value16_b 515
    {0x00, 0x02, 'B', 'o'},                   // trailer_name
    {0x00, 0x03, 'o', 'k', 0xD5},             // trailer_text
});
// Batch 1, flags 0x03: a bare 17-byte record, then one with flag 0x02 and an
// empty item name.
const bytes kBatch = cat({
    {0x00, 0x01, 0x03, 0x00, 0x02},
    {0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 'z'},
    {0x01, 0x00, 0x00, 0x01, 0x00, 0x2A},     // item block: empty name, item_id 42
    {0x00, 0x00},                             // value16_b
});
const bytes kDelete = {0x00, 0x01, 0x00, 0x02};
const bytes kUpdate = {0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 'h', 'i'};
const bytes kTyping = {0x00, 0x09, 0x00, 0x03, 'B', 'o', 'b'};
const bytes kUnread = {0x00, 0x03, 0x04, 0x00, 0x05};
const bytes kGuilds = cat({
    {0x00, 0x02},
    {0x00, 0x01, 0x00, 0x07, 'M', 'a', 'c', ' ', 'L', 'a', 'b', 0x00, 0x00, 0x0C},
    {0xFF, 0xFE, 0x00, 0x00, 0xFF, 0xFF, 0xFF},
});
const bytes kDms = {0x00, 0x01, 0x00, 0x03, 0x00, 0x03, 'Z', 'o', 0x89, 0x01, 0x00, 0x02};
const bytes kChannels = {0x01, 0x02, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x07, 'g', 'e', 'n',
                         'e',  'r',  'a',  'l',  0x01, 0x00, 0x03};
const bytes kImage = {0x00, 0x01, 0x02, 0x03, 0x04, 0x02, 0x80, 0x01, 0xE0, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF};
const bytes kVoiceStatus = {0x01, 0x00, 0x02, 0x00, 0x02, 'A', 'l'};
const bytes kVoiceMembers = {0x00, 0x05, 0x01, 0x00, 0x06, 0x00, 0x02, 'A', 'l', 0x01};
const bytes kSpeaking = {0x00, 0x06, 0x01};
const bytes kVoiceError = {0x03, 0x00, 0x02, 'n', 'o'};

std::string text(twl_str_t s) { return std::string(reinterpret_cast<const char *>(s.ptr), s.len); }

// The stream behind the reader tests and the twl-dump transcript: frames,
// garbage, an unknown type, a payload that does not parse, a bad version, an
// oversized length, and a frame cut short at the end. Offsets in comments.
bytes golden_stream() {
    return cat({
        frame(TWR_MSG_HANDSHAKE_ACK, kHandshake),                          // 0, 21 bytes
        str("TRW"),                                                        // 21, garbage
        frame(TWR_MSG_MESSAGE_CREATE, kCreate),                            // 24, 72 bytes
        frame(TWR_MSG_GUILD_LIST, kGuilds),                                // 96, 33 bytes
        frame(TWR_MSG_DM_LIST, kDms),                                      // 129, 22 bytes
        frame(0x8A, {0xAB, 0xCD}),                                         // 151, 12 bytes
        frame(TWR_MSG_STATUS, {0x01, 0x02, 0x00, 0x05, 'h', 'i'}),         // 163, 16 bytes
        frame(TWR_MSG_VOICE_MEMBERS, kVoiceMembers),                       // 179, 20 bytes
        frame(TWR_MSG_IMAGE_DATA, kImage),                                 // 199, 29 bytes
        {'T', 'R', 'W', 'K', 0x02, 0x92, 0x00, 0x00, 0x00, 0x00},          // 228, version 2
        frame(TWR_MSG_PONG, {}),                                           // 238
        {'T', 'R', 'W', 'K', 0x01, 0x83, 0x00, 0x20, 0x00, 0x01},          // 248, 2 MiB + 1
        frame(TWR_MSG_TYPING_START, kTyping),                              // 258, 17 bytes
        {'T', 'R', 'W', 'K', 0x01, 0x8C, 0x00, 0x00, 0x00, 0x04, 0x01, 0x02},  // 275, cut short
    });
}

// ---- Frame reader ----

struct seen {
    uint64_t offset;
    uint8_t type;
    uint64_t skipped;
    bytes payload;
    bool operator==(const seen &) const = default;
};

struct outcome {
    std::vector<seen> frames;
    size_t pending = 0;
    uint64_t skipped = 0;
    bool operator==(const outcome &) const = default;
};

void drain(twl_reader_t &r, outcome &o) {
    twl_frame_t f;
    while (twl_reader_next(&r, &f))
        o.frames.push_back({f.offset, f.type, f.skipped, bytes(f.payload, f.payload + f.payload_len)});
}

// Feeds the stream in chunks whose sizes `chunk` picks; through
// twl_reader_space and twl_reader_commit when `direct` is set.
outcome read_stream(const bytes &stream, size_t cap, const std::function<size_t()> &chunk,
                    bool direct = false) {
    std::vector<uint8_t> buf(cap);
    twl_reader_t r;
    EXPECT_EQ(twl_reader_init(&r, buf.data(), cap), TWR_OK);
    outcome o;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t want = std::min(chunk(), stream.size() - at);
        size_t took = 0;
        if (direct) {
            size_t room = 0;
            uint8_t *dst = twl_reader_space(&r, &room);
            took = std::min(want, room);
            std::memcpy(dst, stream.data() + at, took);
            twl_reader_commit(&r, took);
        } else {
            took = twl_reader_feed(&r, stream.data() + at, want);
        }
        at += took;
        const size_t before = o.frames.size();
        drain(r, o);
        if (took == 0 && o.frames.size() == before) {
            ADD_FAILURE() << "reader stalled at " << at;
            break;
        }
    }
    o.pending = twl_reader_pending(&r);
    o.skipped = twl_reader_skipped(&r);
    EXPECT_EQ(twl_reader_offset(&r) + o.pending, stream.size());
    return o;
}

outcome read_whole(const bytes &stream, size_t cap = TWR_READER_BUFFER_SIZE) {
    return read_stream(stream, cap, [&] { return stream.size(); });
}

TEST(TwlReader, GoldenStreamGivesTheExpectedFrames) {
    const bytes stream = golden_stream();
    ASSERT_EQ(stream.size(), 287u);
    const outcome o = read_whole(stream);
    const std::vector<std::tuple<uint64_t, uint8_t, uint64_t, size_t>> expected = {
        {0, 0x81, 0, 11},   {24, 0x86, 3, 62},  {96, 0x83, 0, 23},  {129, 0x8F, 0, 12},
        {151, 0x8A, 0, 2},  {163, 0x8C, 0, 6},  {179, 0x94, 0, 10}, {199, 0x8B, 0, 19},
        {238, 0x92, 10, 0}, {258, 0x89, 10, 7},
    };
    ASSERT_EQ(o.frames.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        const auto &[offset, type, skipped, len] = expected[k];
        EXPECT_EQ(o.frames[k].offset, offset) << k;
        EXPECT_EQ(o.frames[k].type, type) << k;
        EXPECT_EQ(o.frames[k].skipped, skipped) << k;
        EXPECT_EQ(o.frames[k].payload.size(), len) << k;
    }
    EXPECT_EQ(o.frames[1].payload, kCreate);
    EXPECT_EQ(o.pending, 12u);  // the status frame cut short
    EXPECT_EQ(o.skipped, 0u);
}

TEST(TwlReader, ChunkingDoesNotChangeTheFrames) {
    const bytes stream = golden_stream();
    const outcome whole = read_whole(stream);
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> size(1, 40);
    // 72 bytes is the longest frame of the stream: the buffer fills exactly.
    for (size_t cap : {size_t(72), size_t(100), size_t(TWR_READER_BUFFER_SIZE)}) {
        SCOPED_TRACE(cap);
        EXPECT_EQ(read_stream(stream, cap, [] { return size_t(1); }), whole);
        EXPECT_EQ(read_stream(stream, cap, [&] { return stream.size(); }), whole);
        for (int round = 0; round < 20; ++round) {
            EXPECT_EQ(read_stream(stream, cap, [&] { return size(rng); }), whole);
            EXPECT_EQ(read_stream(stream, cap, [&] { return size(rng); }, true), whole);
        }
    }
}

struct resync_case {
    const char *what;
    bytes before;       // damaged bytes ahead of a pong
    uint64_t skipped;   // how many of them the reader must discard
};

class TwlReaderResync : public testing::TestWithParam<resync_case> {};

TEST_P(TwlReaderResync, DiscardsUpToTheNextMagic) {
    const resync_case &c = GetParam();
    const bytes stream = cat({c.before, frame(TWR_MSG_PONG, {})});
    for (size_t chunk : {size_t(1), size_t(3), stream.size()}) {
        const outcome o = read_stream(stream, TWR_READER_BUFFER_SIZE, [&] { return chunk; });
        ASSERT_EQ(o.frames.size(), 1u) << chunk;
        EXPECT_EQ(o.frames[0].type, TWR_MSG_PONG);
        EXPECT_EQ(o.frames[0].skipped, c.skipped);
        EXPECT_EQ(o.frames[0].offset, c.before.size());
        EXPECT_EQ(o.pending, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Damage, TwlReaderResync,
    testing::Values(
        resync_case{"garbage", str("hello"), 5},
        resync_case{"bad_version", {'T', 'R', 'W', 'K', 0x00, 0x92, 0, 0, 0, 0}, 10},
        resync_case{"version_ff", {'T', 'R', 'W', 'K', 0xFF}, 5},
        resync_case{"oversized_length", {'T', 'R', 'W', 'K', 0x01, 0x83, 0x00, 0x30, 0x00, 0x00}, 10},
        resync_case{"one_over_the_limit", {'T', 'R', 'W', 'K', 0x01, 0x83, 0x00, 0x20, 0x00, 0x01}, 10},
        resync_case{"length_ffffffff", {'T', 'R', 'W', 'K', 0x01, 0x83, 0xFF, 0xFF, 0xFF, 0xFF}, 10},
        resync_case{"repeated_t", str("TTTTT"), 5},
        resync_case{"magic_prefix", str("TRTRW"), 5},
        resync_case{"magic_then_garbage", str("TRWKTRWK"), 8}),
    [](const testing::TestParamInfo<resync_case> &info) { return std::string(info.param.what); });

TEST(TwlReader, PartialMagicAtTheEndIsKeptForTheNextChunk) {
    const outcome o = read_whole(str("xyTRW"));
    EXPECT_TRUE(o.frames.empty());
    EXPECT_EQ(o.skipped, 2u);
    EXPECT_EQ(o.pending, 3u);
}

TEST(TwlReader, FrameLongerThanTheBufferIsSkippedNotAwaited) {
    // A 20-byte buffer takes the pong but can never hold the 13-byte-payload
    // frame before it, so that header is refused like an oversized one.
    const bytes stream = cat({frame(TWR_MSG_STATUS, bytes(13, 0x41)), frame(TWR_MSG_PONG, {})});
    const outcome o = read_stream(stream, 20, [] { return size_t(1); });
    ASSERT_EQ(o.frames.size(), 1u);
    EXPECT_EQ(o.frames[0].type, TWR_MSG_PONG);
    EXPECT_EQ(o.frames[0].skipped, 23u);
    // With room for exactly the header, a pong is still a frame.
    const outcome tight = read_stream(frame(TWR_MSG_PONG, {}), 10, [] { return size_t(4); });
    EXPECT_EQ(tight.frames.size(), 1u);
}

TEST(TwlReader, LargestPayloadIsAwaitedAndHandedOut) {
    const bytes stream = frame(TWR_MSG_IMAGE_DATA, bytes(TWR_MSG_MAX_PAYLOAD, 0x5A));
    std::vector<uint8_t> buf(TWR_READER_BUFFER_SIZE);
    twl_reader_t r;
    ASSERT_EQ(twl_reader_init(&r, buf.data(), buf.size()), TWR_OK);
    twl_frame_t f{};
    ASSERT_EQ(twl_reader_feed(&r, stream.data(), 10 + 1000), 1010u);
    EXPECT_FALSE(twl_reader_next(&r, &f));
    EXPECT_EQ(twl_reader_pending(&r), 1010u);  // a valid header waits, nothing discarded
    EXPECT_EQ(twl_reader_skipped(&r), 0u);
    ASSERT_EQ(twl_reader_feed(&r, stream.data() + 1010, stream.size() - 1010), stream.size() - 1010);
    ASSERT_TRUE(twl_reader_next(&r, &f));
    EXPECT_EQ(f.payload_len, TWR_MSG_MAX_PAYLOAD);
    EXPECT_EQ(f.payload, buf.data() + 10);
    EXPECT_EQ(twl_reader_pending(&r), 0u);
}

TEST(TwlReader, FeedTakesWhatFitsAndTheRestAfterDraining) {
    const bytes three = cat({frame(TWR_MSG_PONG, {}), frame(TWR_MSG_PONG, {}), frame(TWR_MSG_PONG, {})});
    uint8_t buf[25];
    twl_reader_t r;
    ASSERT_EQ(twl_reader_init(&r, buf, sizeof buf), TWR_OK);
    ASSERT_EQ(twl_reader_feed(&r, three.data(), three.size()), 25u);
    EXPECT_EQ(twl_reader_feed(&r, three.data() + 25, 5), 0u);  // full until drained
    size_t room = 99;
    twl_reader_space(&r, &room);
    EXPECT_EQ(room, 0u);
    twl_frame_t f;
    EXPECT_TRUE(twl_reader_next(&r, &f));
    EXPECT_TRUE(twl_reader_next(&r, &f));
    EXPECT_FALSE(twl_reader_next(&r, &f));
    EXPECT_EQ(twl_reader_feed(&r, three.data() + 25, 5), 5u);
    ASSERT_TRUE(twl_reader_next(&r, &f));
    EXPECT_EQ(f.offset, 20u);
    EXPECT_EQ(f.payload, buf + 10);  // the five pending bytes moved to the front
}

TEST(TwlReader, InitRefusesAMissingOrTooSmallBuffer) {
    uint8_t buf[10];
    twl_reader_t r{};
    r.cap = 77;
    EXPECT_EQ(twl_reader_init(&r, nullptr, 100), TWR_ERR_NOMEM);
    EXPECT_EQ(twl_reader_init(&r, buf, 9), TWR_ERR_NOMEM);
    EXPECT_EQ(r.cap, 77u);
    EXPECT_EQ(twl_reader_init(&r, buf, 10), TWR_OK);
}

TEST(TwlReader, TypeNamesCoverTheTableOnly) {
    EXPECT_STREQ(twl_msg_type_name(0x81), "HANDSHAKE_ACK");
    EXPECT_STREQ(twl_msg_type_name(0x8F), "DM_LIST");
    EXPECT_STREQ(twl_msg_type_name(0x96), "VOICE_ERROR");
    for (int t : {0x00, 0x80, 0x8A, 0x97, 0xFF}) EXPECT_EQ(twl_msg_type_name(uint8_t(t)), nullptr) << t;
}

// ---- Parsers: fields of the hand-written payloads. The twl-dump transcript
// below checks the fields of the stream's frames as well. ----

TEST(TwlParse, BatchWalksRecordsWithAndWithoutTheItemBlock) {
    twl_list_t list;
    ASSERT_EQ(twl_parse_message_batch(kBatch.data(), kBatch.size(), &list), TWR_OK);
    EXPECT_EQ(list.id, 1);
    EXPECT_EQ(list.flags, 0x03);
    EXPECT_EQ(list.count, 2);
    twl_message_view_t m;
    ASSERT_TRUE(twl_list_next_message(&list, &m));
    EXPECT_EQ(m.id, 10);
    EXPECT_EQ(m.flags, 0);
    EXPECT_EQ(m.item_name.len, 0);
    EXPECT_NE(m.item_name.ptr, nullptr);
    ASSERT_TRUE(twl_list_next_message(&list, &m));
    EXPECT_EQ(m.id, 11);
    EXPECT_EQ(m.flags, 0x02);
    EXPECT_EQ(text(m.text), "z");
    EXPECT_EQ(m.item_name.len, 0);  // 0x02 set by the caller with no name
    EXPECT_EQ(m.item_id, 42);
    EXPECT_FALSE(twl_list_next_message(&list, &m));
}

TEST(TwlParse, ChannelListAndCursorsOfTheWrongType) {
    twl_list_t list;
    ASSERT_EQ(twl_parse_channel_list(kChannels.data(), kChannels.size(), &list), TWR_OK);
    EXPECT_EQ(list.id, 0x0102);
    EXPECT_EQ(list.count, 1);
    twl_guild_view_t wrong;
    EXPECT_FALSE(twl_list_next_guild(&list, &wrong));  // a channel list is not walked as guilds
    twl_channel_view_t c;
    ASSERT_TRUE(twl_list_next_channel(&list, &c));
    EXPECT_EQ(c.id, 5);
    EXPECT_EQ(c.value8_a, 0);
    EXPECT_EQ(text(c.name), "general");
    EXPECT_EQ(c.name.ptr, kChannels.data() + 9);  // points into the payload
    EXPECT_EQ(c.value8_b, 1);
    EXPECT_EQ(c.value16, 3);
    EXPECT_FALSE(twl_list_next_channel(&list, &c));

    const bytes empty = {0x00, 0x00};
    ASSERT_EQ(twl_parse_member_list(empty.data(), empty.size(), &list), TWR_OK);
    twl_member_view_t mem;
    EXPECT_FALSE(twl_list_next_member(&list, &mem));
}

// ---- Parsers: every truncation, trailing bytes, inconsistent payloads ----

using parse_fn = int (*)(const uint8_t *, size_t);

// Runs a parser and checks that a failure left its output exactly as it was.
template <typename View, int (*Parse)(const uint8_t *, size_t, View *)>
int run_parse(const uint8_t *p, size_t n) {
    View v;
    std::memset(&v, 0xA5, sizeof v);
    View before;
    std::memcpy(&before, &v, sizeof v);
    const int rc = Parse(p, n, &v);
    if (rc != TWR_OK && std::memcmp(&v, &before, sizeof v) != 0) ADD_FAILURE() << "output touched";
    return rc;
}

// Parses a list and walks it: the cursor must yield exactly count entries.
template <int (*Parse)(const uint8_t *, size_t, twl_list_t *), typename Entry,
          bool (*Next)(twl_list_t *, Entry *)>
int run_list(const uint8_t *p, size_t n) {
    const int rc = run_parse<twl_list_t, Parse>(p, n);
    if (rc != TWR_OK) return rc;
    twl_list_t list;
    Parse(p, n, &list);
    Entry e;
    unsigned walked = 0;
    while (Next(&list, &e)) ++walked;
    EXPECT_EQ(walked, list.count);
    return rc;
}

int run_pong(const uint8_t *p, size_t n) { return twl_parse_pong(p, n); }

struct parse_case {
    const char *what;
    parse_fn parse;
    bytes payload;
};

const parse_fn kHandshakeFn = run_parse<twl_handshake_ack_view_t, twl_parse_handshake_ack>;
const parse_fn kStatusFn = run_parse<twl_status_view_t, twl_parse_status>;
const parse_fn kCreateFn = run_parse<twl_message_create_view_t, twl_parse_message_create>;
const parse_fn kUpdateFn = run_parse<twl_message_update_view_t, twl_parse_message_update>;
const parse_fn kTypingFn = run_parse<twl_typing_start_view_t, twl_parse_typing_start>;
const parse_fn kImageFn = run_parse<twl_image_data_view_t, twl_parse_image_data>;
const parse_fn kGuildsFn = run_list<twl_parse_guild_list, twl_guild_view_t, twl_list_next_guild>;
const parse_fn kBatchFn = run_list<twl_parse_message_batch, twl_message_view_t, twl_list_next_message>;
const parse_fn kVoiceMembersFn =
    run_list<twl_parse_voice_members, twl_voice_member_view_t, twl_list_next_voice_member>;

// Parses a copy in a block of exactly n bytes, so that AddressSanitizer
// catches any read past the end.
int parse_exact(parse_fn parse, const bytes &payload, size_t n) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
    if (n != 0) std::memcpy(copy.get(), payload.data(), n);
    return parse(copy.get(), n);
}

class TwlParseEvery : public testing::TestWithParam<parse_case> {};

TEST_P(TwlParseEvery, AcceptsTheWholePayloadOnly) {
    const parse_case &c = GetParam();
    EXPECT_EQ(parse_exact(c.parse, c.payload, c.payload.size()), TWR_OK);
    for (size_t n = 0; n < c.payload.size(); ++n)
        EXPECT_EQ(parse_exact(c.parse, c.payload, n), TWR_ERR_PROTO) << "cut to " << n;
    const bytes longer = cat({c.payload, {0x00}});
    EXPECT_EQ(parse_exact(c.parse, longer, longer.size()), TWR_ERR_PROTO) << "trailing byte";
}

INSTANTIATE_TEST_SUITE_P(
    Types, TwlParseEvery,
    testing::Values(
        parse_case{"handshake_ack", kHandshakeFn, kHandshake},
        parse_case{"auth_result", run_parse<twl_auth_result_view_t, twl_parse_auth_result>, kAuth},
        parse_case{"status", kStatusFn, kStatus},
        parse_case{"error", run_parse<twl_error_view_t, twl_parse_error>, kError},
        parse_case{"gateway_state", run_parse<uint8_t, twl_parse_gateway_state>, kGateway},
        parse_case{"pong", run_pong, {}},
        parse_case{"guild_list", kGuildsFn, kGuilds},
        parse_case{"member_list", run_list<twl_parse_member_list, twl_member_view_t, twl_list_next_member>,
                   kGuilds},
        parse_case{"dm_list", run_list<twl_parse_dm_list, twl_dm_view_t, twl_list_next_dm>, kDms},
        parse_case{"channel_list",
                   run_list<twl_parse_channel_list, twl_channel_view_t, twl_list_next_channel>, kChannels},
        parse_case{"message_batch", kBatchFn, kBatch},
        parse_case{"message_create", kCreateFn, kCreate},
        parse_case{"message_delete", run_parse<twl_message_delete_view_t, twl_parse_message_delete>, kDelete},
        parse_case{"message_update", kUpdateFn, kUpdate},
        parse_case{"typing_start", kTypingFn, kTyping},
        parse_case{"unread_update", run_parse<twl_unread_update_view_t, twl_parse_unread_update>, kUnread},
        parse_case{"image_data", kImageFn, kImage},
        parse_case{"voice_status", run_parse<twl_voice_status_view_t, twl_parse_voice_status>, kVoiceStatus},
        parse_case{"voice_members", kVoiceMembersFn, kVoiceMembers},
        parse_case{"voice_speaking", run_parse<twl_voice_speaking_view_t, twl_parse_voice_speaking>, kSpeaking},
        parse_case{"voice_error", run_parse<twl_voice_error_view_t, twl_parse_voice_error>, kVoiceError}),
    [](const testing::TestParamInfo<parse_case> &info) { return std::string(info.param.what); });

// A string field of exactly `n` bytes of 'x', length prefix first.
bytes field_of(size_t n) { return cat({{uint8_t(n >> 8), uint8_t(n)}, bytes(n, 'x')}); }

class TwlParseRefuses : public testing::TestWithParam<parse_case> {};

TEST_P(TwlParseRefuses, InconsistentPayload) {
    const parse_case &c = GetParam();
    EXPECT_EQ(parse_exact(c.parse, c.payload, c.payload.size()), TWR_ERR_PROTO);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, TwlParseRefuses,
    testing::Values(
        parse_case{"count_beyond_the_entries", kGuildsFn,
                   {0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
        parse_case{"count_short_of_the_entries", kGuildsFn,
                   {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
        parse_case{"voice_count_beyond_the_entries", kVoiceMembersFn,
                   {0x00, 0x05, 0x02, 0x00, 0x06, 0x00, 0x00, 0x01}},
        parse_case{"string_past_the_end", kStatusFn, {0x01, 0x02, 0x00, 0x05, 'h', 'i'}},
        parse_case{"name_over_31", kTypingFn, cat({{0x00, 0x09}, field_of(32)})},
        parse_case{"text_over_2000", kUpdateFn, cat({{0x00, 0x01, 0x00, 0x02}, field_of(2001)})},
        parse_case{"reserved_byte_set", kHandshakeFn, {0x01, 0x02, 0x01, 0x00, 0x00}},
        parse_case{"batch_flag_0x04", kBatchFn, {0x00, 0x01, 0x04, 0x00, 0x00}},
        parse_case{"item_count_2", kCreateFn,
                   cat({{0x00, 0x01}, bytes(8, 0), {0x02}, bytes(6, 0), {0x02, 0x00, 0x00, 0x01, 0x00, 0x00},
                        {0x00, 0x00}})},
        parse_case{"item_kind_0", kCreateFn,
                   cat({{0x00, 0x01}, bytes(8, 0), {0x02}, bytes(6, 0), {0x01, 0x00, 0x00, 0x00, 0x00, 0x00},
                        {0x00, 0x00}})},
        parse_case{"trailer_missing", kCreateFn, cat({{0x00, 0x01}, bytes(8, 0), {0x04}, bytes(8, 0)})},
        parse_case{"image_length_over_the_data", kImageFn,
                   cat({bytes(11, 0), {0x00, 0x00, 0x00, 0x05}, {1, 2, 3, 4}})},
        parse_case{"image_length_under_the_data", kImageFn,
                   cat({bytes(11, 0), {0x00, 0x00, 0x00, 0x03}, {1, 2, 3, 4}})}),
    [](const testing::TestParamInfo<parse_case> &info) { return std::string(info.param.what); });

TEST(TwlParse, StringsAtTheirMaximumAreAccepted) {
    const bytes typing = cat({{0x00, 0x09}, field_of(31)});
    EXPECT_EQ(parse_exact(kTypingFn, typing, typing.size()), TWR_OK);
    const bytes update = cat({{0x00, 0x01, 0x00, 0x02}, field_of(2000)});
    EXPECT_EQ(parse_exact(kUpdateFn, update, update.size()), TWR_OK);
}

// ---- Builders through their parsers ----

// Up to `max` bytes of a builder's input string; null is the empty string.
std::string cut(const char *s, size_t max) { return std::string(s != nullptr ? s : "").substr(0, max); }

// Takes a built frame through the stream reader: exactly one frame of the
// expected type, nothing left over. Frees the frame. The length is taken by
// reference: it is stored by the builder call in the same argument list.
bytes unwrap(uint8_t *frame, const size_t &len, uint8_t type) {
    EXPECT_NE(frame, nullptr);
    if (frame == nullptr) return {};
    const outcome o = read_whole(bytes(frame, frame + len));
    std::free(frame);
    EXPECT_EQ(o.frames.size(), 1u);
    EXPECT_EQ(o.pending, 0u);
    if (o.frames.size() != 1) return {};
    EXPECT_EQ(o.frames[0].type, type);
    EXPECT_EQ(o.frames[0].payload.size() + TWR_MSG_HEADER_SIZE, len);
    return o.frames[0].payload;
}

const std::string k40(40, 'q');
const std::string k300 = std::string(299, 'r') + "\xA5";

TEST(TwlRoundTrip, ControlMessages) {
    size_t len = 0;
    bytes p = unwrap(twl_build_handshake_ack(&len, 3, 4, k40.c_str()), len, TWR_MSG_HANDSHAKE_ACK);
    twl_handshake_ack_view_t hs;
    ASSERT_EQ(twl_parse_handshake_ack(p.data(), p.size(), &hs), TWR_OK);
    EXPECT_EQ(hs.value_a, 3);
    EXPECT_EQ(hs.value_b, 4);
    EXPECT_EQ(text(hs.text), k40.substr(0, 32));

    p = unwrap(twl_build_auth_result(&len, 9, k40.c_str(), "\x8E\x8F toolong", 0xBEEF), len, TWR_MSG_AUTH_RESULT);
    twl_auth_result_view_t auth;
    ASSERT_EQ(twl_parse_auth_result(p.data(), p.size(), &auth), TWR_OK);
    EXPECT_EQ(auth.result, 9);
    EXPECT_EQ(text(auth.text_a), k40.substr(0, 31));
    EXPECT_EQ(text(auth.text_b), "\x8E\x8F toolo");
    EXPECT_EQ(auth.value, 0xBEEF);

    p = unwrap(twl_build_status(&len, 1, 2, nullptr), len, TWR_MSG_STATUS);
    twl_status_view_t st;
    ASSERT_EQ(twl_parse_status(p.data(), p.size(), &st), TWR_OK);
    EXPECT_EQ(st.value_a, 1);
    EXPECT_EQ(st.value_b, 2);
    EXPECT_EQ(st.text.len, 0);
    p = unwrap(twl_build_status(&len, 0xFF, 0, k300.c_str()), len, TWR_MSG_STATUS);
    ASSERT_EQ(twl_parse_status(p.data(), p.size(), &st), TWR_OK);
    EXPECT_EQ(text(st.text), k300.substr(0, 128));

    p = unwrap(twl_build_error(&len, 7, 0x0102, k300.c_str()), len, TWR_MSG_ERROR);
    twl_error_view_t err;
    ASSERT_EQ(twl_parse_error(p.data(), p.size(), &err), TWR_OK);
    EXPECT_EQ(err.value_a, 7);
    EXPECT_EQ(err.value_b, 0x0102);
    EXPECT_EQ(text(err.text), k300.substr(0, 256));

    p = unwrap(twl_build_gateway_state(&len, 2), len, TWR_MSG_GATEWAY_STATE);
    uint8_t state = 0;
    ASSERT_EQ(twl_parse_gateway_state(p.data(), p.size(), &state), TWR_OK);
    EXPECT_EQ(state, 2);
    p = unwrap(twl_build_pong(&len), len, TWR_MSG_PONG);
    EXPECT_EQ(twl_parse_pong(p.data(), p.size()), TWR_OK);
}

// A message record compared field by field with the record it was built from.
void expect_message(const twl_message_view_t &v, const twl_message &m, uint8_t written_flags) {
    EXPECT_EQ(v.id, m.id);
    EXPECT_EQ(v.id_b, m.id_b);
    EXPECT_EQ(v.value32, m.value32);
    EXPECT_EQ(v.flags, written_flags);
    EXPECT_EQ(v.value16, m.value16);
    EXPECT_EQ(text(v.name), cut(m.name, 31));
    EXPECT_EQ(text(v.text), cut(m.text, 2000));
    EXPECT_EQ(text(v.item_name), written_flags & 0x02 ? cut(m.item_name, 63) : "");
    EXPECT_EQ(v.item_id, written_flags & 0x02 ? m.item_id : 0);
    EXPECT_EQ(v.value16_b, m.value16_b);
    EXPECT_EQ(text(v.trailer_name), written_flags & 0x04 ? cut(m.trailer_name, 31) : "");
    EXPECT_EQ(text(v.trailer_text), written_flags & 0x04 ? cut(m.trailer_text, 60) : "");
}

const std::string k2100(2100, 't');
const std::string k70(70, 'i');

TEST(TwlRoundTrip, MessageRecordsAndTheirFlags) {
    struct row {
        twl_message m;
        uint8_t written_flags;
    };
    const row rows[] = {
        // Nothing optional; null strings.
        {{1, 2, 3, 0x00, 4, nullptr, nullptr, 5, nullptr, 6, nullptr, nullptr}, 0x00},
        // A non-empty item name adds 0x02 to the caller's 0x01.
        {{0xFFFF, 0, 0xFFFFFFFFu, 0x01, 0, "Ann", "\x01hi\x01", 77, "cat.gif", 8, nullptr, nullptr}, 0x03},
        // 0x02 set by the caller with an empty item name keeps the block.
        {{9, 9, 9, 0x02, 9, "", "x", 123, "", 9, nullptr, nullptr}, 0x02},
        // A trailer set without 0x04 is not written.
        {{1, 1, 1, 0x80, 1, "n", "t", 0, nullptr, 1, "tn", "tt"}, 0x80},
        // Every string over its maximum, both blocks.
        {{7, 8, 65536, 0x04, 10, k40.c_str(), k2100.c_str(), 11, k70.c_str(), 12, k40.c_str(), k70.c_str()},
         0x06},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(int(r.written_flags));
        size_t len = 0;
        bytes p = unwrap(twl_build_message_create(&len, 0x0BAD, &r.m), len, TWR_MSG_MESSAGE_CREATE);
        twl_message_create_view_t v;
        ASSERT_EQ(twl_parse_message_create(p.data(), p.size(), &v), TWR_OK);
        EXPECT_EQ(v.id, 0x0BAD);
        expect_message(v.message, r.m, r.written_flags);
    }
}

TEST(TwlRoundTrip, BatchOfMaximalRecordsStopsAtTheLastWholeOne) {
    const twl_message big = {1, 2, 3, 0x04, 4, k40.c_str(), k2100.c_str(), 5, k70.c_str(), 6,
                             k40.c_str(), k70.c_str()};
    std::vector<twl_message> messages(30, big);
    for (size_t k = 0; k < messages.size(); ++k) messages[k].id = uint16_t(100 + k);
    size_t len = 0;
    bytes p = unwrap(twl_build_message_batch(&len, 42, messages.data(), 30, 5, 0), len,
                     TWR_MSG_MESSAGE_BATCH);
    EXPECT_EQ(p.size(), 5u + 29u * 2212u);
    twl_list_t list;
    ASSERT_EQ(twl_parse_message_batch(p.data(), p.size(), &list), TWR_OK);
    EXPECT_EQ(list.id, 42);
    EXPECT_EQ(list.flags, 0x01);
    ASSERT_EQ(list.count, 29);
    twl_message_view_t v;
    for (size_t k = 0; k < 29; ++k) {
        ASSERT_TRUE(twl_list_next_message(&list, &v));
        expect_message(v, messages[k], 0x06);
    }
    EXPECT_FALSE(twl_list_next_message(&list, &v));

    p = unwrap(twl_build_message_batch(&len, 1, nullptr, 0, 1, 1), len, TWR_MSG_MESSAGE_BATCH);
    ASSERT_EQ(twl_parse_message_batch(p.data(), p.size(), &list), TWR_OK);
    EXPECT_EQ(list.flags, 0x03);
    EXPECT_EQ(list.count, 0);
}

TEST(TwlRoundTrip, ChatMessages) {
    size_t len = 0;
    bytes p = unwrap(twl_build_message_delete(&len, 0x1234, 0xFFFE), len, TWR_MSG_MESSAGE_DELETE);
    twl_message_delete_view_t del;
    ASSERT_EQ(twl_parse_message_delete(p.data(), p.size(), &del), TWR_OK);
    EXPECT_EQ(del.id_a, 0x1234);
    EXPECT_EQ(del.id_b, 0xFFFE);

    p = unwrap(twl_build_message_update(&len, 5, 6, k2100.c_str()), len, TWR_MSG_MESSAGE_UPDATE);
    twl_message_update_view_t up;
    ASSERT_EQ(twl_parse_message_update(p.data(), p.size(), &up), TWR_OK);
    EXPECT_EQ(up.id_a, 5);
    EXPECT_EQ(up.id_b, 6);
    EXPECT_EQ(text(up.text), k2100.substr(0, 2000));

    p = unwrap(twl_build_typing_start(&len, 9, k40.c_str()), len, TWR_MSG_TYPING_START);
    twl_typing_start_view_t ty;
    ASSERT_EQ(twl_parse_typing_start(p.data(), p.size(), &ty), TWR_OK);
    EXPECT_EQ(ty.id, 9);
    EXPECT_EQ(text(ty.name), k40.substr(0, 31));

    p = unwrap(twl_build_unread_update(&len, 3, 4, 0xABCD), len, TWR_MSG_UNREAD_UPDATE);
    twl_unread_update_view_t un;
    ASSERT_EQ(twl_parse_unread_update(p.data(), p.size(), &un), TWR_OK);
    EXPECT_EQ(un.id, 3);
    EXPECT_EQ(un.value8, 4);
    EXPECT_EQ(un.value16, 0xABCD);
}

TEST(TwlRoundTrip, Lists) {
    const twl_guild_entry guilds[] = {{1, "Mac Lab", 2, 0x0304}, {0xFFFE, k40.c_str(), 0xFF, 0xFFFF},
                                      {5, nullptr, 0, 0}};
    size_t len = 0;
    bytes p = unwrap(twl_build_guild_list(&len, guilds, 3), len, TWR_MSG_GUILD_LIST);
    twl_list_t list;
    ASSERT_EQ(twl_parse_guild_list(p.data(), p.size(), &list), TWR_OK);
    ASSERT_EQ(list.count, 3);
    twl_guild_view_t g;
    for (const twl_guild_entry &e : guilds) {
        ASSERT_TRUE(twl_list_next_guild(&list, &g));
        EXPECT_EQ(g.id, e.id);
        EXPECT_EQ(text(g.name), cut(e.name, 31));
        EXPECT_EQ(g.value8, e.value8);
        EXPECT_EQ(g.value16, e.value16);
    }

    const twl_member_entry members[] = {{7, "Bob", 1, 0x0203}, {8, k40.c_str(), 0xFE, 0x8000}};
    p = unwrap(twl_build_member_list(&len, members, 2), len, TWR_MSG_MEMBER_LIST);
    ASSERT_EQ(twl_parse_member_list(p.data(), p.size(), &list), TWR_OK);
    twl_member_view_t m;
    for (const twl_member_entry &e : members) {
        ASSERT_TRUE(twl_list_next_member(&list, &m));
        EXPECT_EQ(m.id, e.id);
        EXPECT_EQ(text(m.name), cut(e.name, 31));
        EXPECT_EQ(m.value8, e.value8);
        EXPECT_EQ(m.value16, e.value16);
    }

    const twl_dm_entry dms[] = {{3, "Zo\x89", 0x0100, 2}, {4, k40.c_str(), 0xFFFF, 0xFF}};
    p = unwrap(twl_build_dm_list(&len, dms, 2), len, TWR_MSG_DM_LIST);
    ASSERT_EQ(twl_parse_dm_list(p.data(), p.size(), &list), TWR_OK);
    twl_dm_view_t d;
    for (const twl_dm_entry &e : dms) {
        ASSERT_TRUE(twl_list_next_dm(&list, &d));
        EXPECT_EQ(d.id, e.id);
        EXPECT_EQ(text(d.name), cut(e.name, 31));
        EXPECT_EQ(d.value16, e.value16);
        EXPECT_EQ(d.value8, e.value8);
    }

    const twl_channel_entry channels[] = {{5, 0, "general", 1, 3}, {6, 0xFF, k40.c_str(), 0x80, 0xFFFF}};
    p = unwrap(twl_build_channel_list(&len, 0x0102, channels, 2), len, TWR_MSG_CHANNEL_LIST);
    ASSERT_EQ(twl_parse_channel_list(p.data(), p.size(), &list), TWR_OK);
    EXPECT_EQ(list.id, 0x0102);
    twl_channel_view_t c;
    for (const twl_channel_entry &e : channels) {
        ASSERT_TRUE(twl_list_next_channel(&list, &c));
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.value8_a, e.value8_a);
        EXPECT_EQ(text(c.name), cut(e.name, 31));
        EXPECT_EQ(c.value8_b, e.value8_b);
        EXPECT_EQ(c.value16, e.value16);
    }
    EXPECT_FALSE(twl_list_next_channel(&list, &c));

    p = unwrap(twl_build_dm_list(&len, nullptr, 0), len, TWR_MSG_DM_LIST);
    ASSERT_EQ(twl_parse_dm_list(p.data(), p.size(), &list), TWR_OK);
    EXPECT_EQ(list.count, 0);
}

TEST(TwlRoundTrip, MediaAndVoice) {
    // The largest image whose frame the reader still takes: payload 2 MiB.
    bytes data(2097137);
    for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(k * 7);
    size_t len = 0;
    bytes p = unwrap(twl_build_image_data(&len, 1, 2, 3, 4, 640, 480, 0xFFFF, data.data(), uint32_t(data.size())),
                     len, TWR_MSG_IMAGE_DATA);
    EXPECT_EQ(p.size(), TWR_MSG_MAX_PAYLOAD);
    twl_image_data_view_t img;
    ASSERT_EQ(twl_parse_image_data(p.data(), p.size(), &img), TWR_OK);
    EXPECT_EQ(img.id, 1);
    EXPECT_EQ(img.value8_a, 2);
    EXPECT_EQ(img.value8_b, 3);
    EXPECT_EQ(img.value8_c, 4);
    EXPECT_EQ(img.value16_a, 640);
    EXPECT_EQ(img.value16_b, 480);
    EXPECT_EQ(img.value16_c, 0xFFFF);
    ASSERT_EQ(img.data_len, data.size());
    EXPECT_EQ(std::memcmp(img.data, data.data(), data.size()), 0);

    p = unwrap(twl_build_voice_status(&len, 1, 0x0203, k40.c_str()), len, TWR_MSG_VOICE_STATUS);
    twl_voice_status_view_t vs;
    ASSERT_EQ(twl_parse_voice_status(p.data(), p.size(), &vs), TWR_OK);
    EXPECT_EQ(vs.value8, 1);
    EXPECT_EQ(vs.id, 0x0203);
    EXPECT_EQ(text(vs.name), k40.substr(0, 31));

    std::vector<std::string> names;
    std::vector<twl_voice_member> members(255);
    for (size_t k = 0; k < 255; ++k) names.push_back(std::string(k % 40, char('a' + k % 26)));
    for (size_t k = 0; k < 255; ++k) members[k] = {uint16_t(k * 3), names[k].c_str(), uint8_t(k)};
    p = unwrap(twl_build_voice_members(&len, 77, members.data(), 255), len, TWR_MSG_VOICE_MEMBERS);
    twl_list_t list;
    ASSERT_EQ(twl_parse_voice_members(p.data(), p.size(), &list), TWR_OK);
    EXPECT_EQ(list.id, 77);
    ASSERT_EQ(list.count, 255);
    twl_voice_member_view_t vm;
    for (const twl_voice_member &e : members) {
        ASSERT_TRUE(twl_list_next_voice_member(&list, &vm));
        EXPECT_EQ(vm.id, e.id);
        EXPECT_EQ(text(vm.name), cut(e.name, 31));
        EXPECT_EQ(vm.value8, e.value8);
    }

    p = unwrap(twl_build_voice_speaking(&len, 6, 1), len, TWR_MSG_VOICE_SPEAKING);
    twl_voice_speaking_view_t sp;
    ASSERT_EQ(twl_parse_voice_speaking(p.data(), p.size(), &sp), TWR_OK);
    EXPECT_EQ(sp.id, 6);
    EXPECT_EQ(sp.value8, 1);

    p = unwrap(twl_build_voice_error(&len, 3, k300.c_str()), len, TWR_MSG_VOICE_ERROR);
    twl_voice_error_view_t ve;
    ASSERT_EQ(twl_parse_voice_error(p.data(), p.size(), &ve), TWR_OK);
    EXPECT_EQ(ve.value8, 3);
    EXPECT_EQ(text(ve.text), k300.substr(0, 128));
}

// ---- twl-dump ----

#ifdef TWL_DUMP_BINARY  // the tools are optional in the build

test_support::CommandRun run_dump(const std::string &args) {
    return test_support::run_command(std::string(TWL_DUMP_BINARY) + " " + args);
}

std::string write_scratch(const std::string &name, const bytes &content) {
    const std::string path = std::string(TWRELAY_BINARY_DIR) + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(content.data()),
                                                std::streamsize(content.size()));
    return path;
}

TEST(TwlDump, GoldenStreamMatchesTheGoldenTranscript) {
    const std::string path = write_scratch("twl_dump_golden.twl", golden_stream());
    std::ifstream golden(std::string(TWRELAY_SOURCE_DIR) + "/tests/data/twl_dump_golden.txt");
    ASSERT_TRUE(golden.good());
    std::stringstream expected;
    expected << golden.rdbuf();
    const test_support::CommandRun run = run_dump(path);
    EXPECT_EQ(run.out, expected.str());
    EXPECT_EQ(run.status, 1);  // the stream ends inside a frame
}

TEST(TwlDump, HexFromStandardInputAndACleanExit) {
    const std::string path = write_scratch("twl_dump_pong.twl", frame(TWR_MSG_PONG, {}));
    const test_support::CommandRun run = run_dump("--hex < " + path);
    EXPECT_EQ(run.out,
              "offset 0: PONG (0x92), payload 0 bytes\n"
              "  frame bytes:\n"
              "    0000  54 52 57 4b 01 92 00 00  00 00                    |TRWK......|\n"
              "total: bytes=10 frames=1 malformed=0 skipped=0\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run_dump("--bogus 2>/dev/null").status, 2);
    EXPECT_EQ(run_dump(path + "-missing 2>/dev/null").status, 2);
}

#endif

}  // namespace
