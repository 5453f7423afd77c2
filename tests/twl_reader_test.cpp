// The frame reader's buffer edges, and twl-dump against its golden
// transcript, whose stream holds every kind of damage the reader recovers
// from. The parsers are checked against the wire vectors, and chunking
// independence in the frames fuzz harness.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "relay/twl_reader.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using wire::Bytes;

Bytes pong() { return {'T', 'R', 'W', 'K', 0x01, 0x92, 0, 0, 0, 0}; }

struct Outcome {
    std::vector<twl_frame_t> frames;  // payload pointers are not kept valid
    size_t pending = 0;
    uint64_t skipped = 0;
};

// Feeds `stream` `chunk` bytes at a time into a reader of `cap` bytes.
Outcome read(const Bytes &stream, size_t cap, size_t chunk) {
    std::vector<uint8_t> buf(cap);
    twl_reader_t r;
    EXPECT_EQ(twl_reader_init(&r, buf.data(), cap), TWR_OK);
    Outcome o;
    for (size_t at = 0; at < stream.size();) {
        const size_t took = twl_reader_feed(&r, stream.data() + at, std::min(chunk, stream.size() - at));
        at += took;
        twl_frame_t f;
        size_t got = 0;
        for (; twl_reader_next(&r, &f); ++got) o.frames.push_back(f);
        if (took == 0 && got == 0) {
            ADD_FAILURE() << "reader stalled at " << at;
            break;
        }
    }
    o.pending = twl_reader_pending(&r);
    o.skipped = twl_reader_skipped(&r);
    return o;
}

TEST(TwlReader, HeaderOfAFrameLongerThanTheBufferIsSkippedNotAwaited) {
    // A 20-byte buffer can never hold the 23-byte status frame ahead of the pong.
    Bytes stream{'T', 'R', 'W', 'K', 0x01, 0x8C, 0, 0, 0, 13};
    stream.resize(23, 0x41);
    const Bytes p = pong();
    stream.insert(stream.end(), p.begin(), p.end());
    const Outcome o = read(stream, 20, 1);
    ASSERT_EQ(o.frames.size(), 1u);
    EXPECT_EQ(o.frames[0].type, TWR_MSG_PONG);
    EXPECT_EQ(o.frames[0].skipped, 23u);
    EXPECT_EQ(read(p, 10, 4).frames.size(), 1u);  // room for just the header takes a pong
}

TEST(TwlReader, LargestPayloadIsAwaitedAndHandedOutInPlace) {
    Bytes stream{'T', 'R', 'W', 'K', 0x01, 0x8B, 0x00, 0x20, 0x00, 0x00};
    stream.resize(TWR_READER_BUFFER_SIZE, 0x5A);
    std::vector<uint8_t> buf(TWR_READER_BUFFER_SIZE);
    twl_reader_t r;
    ASSERT_EQ(twl_reader_init(&r, buf.data(), buf.size()), TWR_OK);
    twl_frame_t f{};
    ASSERT_EQ(twl_reader_feed(&r, stream.data(), 1010), 1010u);
    EXPECT_FALSE(twl_reader_next(&r, &f));
    EXPECT_EQ(twl_reader_pending(&r), 1010u);  // a valid header waits, nothing is discarded
    EXPECT_EQ(twl_reader_skipped(&r), 0u);
    size_t room = 0;
    uint8_t *at = twl_reader_space(&r, &room);
    ASSERT_EQ(room, stream.size() - 1010);
    std::copy(stream.begin() + 1010, stream.end(), at);
    twl_reader_commit(&r, room + 5);  // more than the room is cut to it
    ASSERT_TRUE(twl_reader_next(&r, &f));
    EXPECT_EQ(f.payload_len, TWR_MSG_MAX_PAYLOAD);
    EXPECT_EQ(f.payload, buf.data() + 10);
    EXPECT_EQ(twl_reader_pending(&r), 0u);
}

TEST(TwlReader, FeedTakesWhatFitsAndMovesPendingBytesAfterDraining) {
    const Bytes p = pong();
    Bytes three;
    for (int k = 0; k < 3; ++k) three.insert(three.end(), p.begin(), p.end());
    uint8_t buf[25];
    twl_reader_t r;
    EXPECT_EQ(twl_reader_init(&r, nullptr, 100), TWR_ERR_NOMEM);
    EXPECT_EQ(twl_reader_init(&r, buf, 9), TWR_ERR_NOMEM);
    ASSERT_EQ(twl_reader_init(&r, buf, sizeof buf), TWR_OK);
    ASSERT_EQ(twl_reader_feed(&r, three.data(), three.size()), 25u);
    EXPECT_EQ(twl_reader_feed(&r, three.data() + 25, 5), 0u);  // full until drained
    twl_frame_t f;
    EXPECT_TRUE(twl_reader_next(&r, &f) && twl_reader_next(&r, &f));
    EXPECT_FALSE(twl_reader_next(&r, &f));
    EXPECT_EQ(twl_reader_feed(&r, three.data() + 25, 5), 5u);
    ASSERT_TRUE(twl_reader_next(&r, &f));
    EXPECT_EQ(f.offset, 20u);
    EXPECT_EQ(f.payload, buf + 10);
}

TEST(TwlParse, ACursorWalksOnlyTheTypeItsListWasParsedAs) {
    const uint8_t one_guild[] = {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x07, 0x00, 0x08};
    twl_list_t list;
    ASSERT_EQ(twl_parse_guild_list(one_guild, sizeof one_guild, &list), TWR_OK);
    twl_member_view_t m;
    twl_guild_view_t g;
    EXPECT_FALSE(twl_list_next_member(&list, &m));
    EXPECT_TRUE(twl_list_next_guild(&list, &g));
    EXPECT_FALSE(twl_list_next_guild(&list, &g));
}

// ---- twl-dump ----

#ifdef TWL_DUMP_BINARY  // the tools are optional in the build

test_support::CommandRun run_dump(const std::string &args) {
    return test_support::run_command(std::string(TWL_DUMP_BINARY) + " " + args);
}

std::string write_scratch(const std::string &name, const Bytes &content) {
    const std::string path = std::string(TWRELAY_BINARY_DIR) + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
    return path;
}

TEST(TwlDump, GoldenStreamMatchesTheGoldenTranscript) {
    const std::string data = std::string(TWRELAY_SOURCE_DIR) + "/tests/data/";
    const std::string path = write_scratch("twl_dump_golden.twl", wire::load_bytes(data + "twl_dump_golden.bytes"));
    std::stringstream expected;
    expected << std::ifstream(data + "twl_dump_golden.txt").rdbuf();
    const test_support::CommandRun run = run_dump(path);
    EXPECT_EQ(run.out, expected.str());
    EXPECT_EQ(run.status, 1);  // the stream ends inside a frame
}

TEST(TwlDump, HexFromStandardInputAndTheExitStatuses) {
    const std::string path = write_scratch("twl_dump_pong.twl", pong());
    const test_support::CommandRun run = run_dump("--hex < " + path);
    EXPECT_EQ(run.out,
              "offset 0: PONG (0x92), payload 0 bytes\n"
              "  frame bytes:\n"
              "    0000  54 52 57 4b 01 92 00 00  00 00                    |TRWK......|\n"
              "total: bytes=10 frames=1 malformed=0 skipped=0\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run_dump("--bogus 2>/dev/null").status, 2);
    EXPECT_EQ(run_dump(path + " >/dev/full 2>/dev/null").status, 2);  // output that cannot be written
    EXPECT_EQ(run_dump(path + "-missing 2>/dev/null").status, 2);
}

#endif

}  // namespace
