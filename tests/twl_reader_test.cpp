// Reading TWL: the stream reader under every way of chunking, its recovery
// from damaged headers, each payload parser against hand-written payloads
// and all of their truncations, and twl-dump against a golden transcript.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

// ---- twl-dump ----

#ifdef TWL_DUMP_BINARY  // the tools are optional in the build

struct run_result {
    std::string out;
    int status = -1;
};

run_result run_dump(const std::string &args) {
    run_result run;
    FILE *pipe = popen((std::string(TWL_DUMP_BINARY) + " " + args).c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
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
    const run_result run = run_dump(path);
    EXPECT_EQ(run.out, expected.str());
    EXPECT_EQ(run.status, 1);  // the stream ends inside a frame
}

TEST(TwlDump, HexFromStandardInputAndACleanExit) {
    const std::string path = write_scratch("twl_dump_pong.twl", frame(TWR_MSG_PONG, {}));
    const run_result run = run_dump("--hex < " + path);
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
