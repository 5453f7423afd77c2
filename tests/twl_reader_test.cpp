// The frame reader's buffer edges, and twl-dump against its transcripts in
// tests/data/: the golden stream holds every kind of damage the reader
// recovers from. The parsers are checked against the wire vectors, and
// chunking independence in the frames fuzz harness.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "relay/twl_reader.h"
#include "support/test_support.h"
#include "support/wire.h"

namespace {

using wire::Bytes;

const Bytes kPong{'T', 'R', 'W', 'K', 0x01, 0x92, 0, 0, 0, 0};

// Fed a byte at a time, 20 bytes drop the 23-byte status frame ahead of a
// pong as soon as its header is in, rather than wait for room; 10 bytes take
// the pong. 25 bytes take what fits of three pongs and nothing more until
// drained, then move the pending bytes to the front. Less than a header is
// refused.
TEST(TwlReader, SmallBuffers) {
    Bytes stream{'T', 'R', 'W', 'K', 0x01, 0x8C, 0, 0, 0, 13};
    stream.resize(23, 0x41);
    for (int k = 0; k < 3; ++k) stream.insert(stream.end(), kPong.begin(), kPong.end());
    const uint8_t *three = stream.data() + 23;
    uint8_t buf[25];
    twl_reader_t r;
    twl_frame_t f{};
    size_t frames = 0;
    ASSERT_EQ(twl_reader_init(&r, buf, 20), TWR_OK);
    for (const uint8_t *b = stream.data(); b < three + 10; ++b) {
        ASSERT_EQ(twl_reader_feed(&r, b, 1), 1u);
        while (twl_reader_next(&r, &f)) ++frames;
    }
    EXPECT_TRUE(frames == 1 && f.type == TWR_MSG_PONG && f.skipped == 23) << frames << " frames, the last skipped " << f.skipped;
    ASSERT_EQ(twl_reader_init(&r, buf, 10), TWR_OK);
    EXPECT_TRUE(twl_reader_feed(&r, three, 10) == 10 && twl_reader_next(&r, &f) && f.type == TWR_MSG_PONG);
    ASSERT_EQ(twl_reader_init(&r, buf, sizeof buf), TWR_OK);
    ASSERT_EQ(twl_reader_feed(&r, three, 30), 25u);
    EXPECT_EQ(twl_reader_feed(&r, three + 25, 5), 0u);  // full until drained
    EXPECT_TRUE(twl_reader_next(&r, &f) && twl_reader_next(&r, &f));
    EXPECT_FALSE(twl_reader_next(&r, &f));
    EXPECT_EQ(twl_reader_feed(&r, three + 25, 5), 5u);
    ASSERT_TRUE(twl_reader_next(&r, &f));
    EXPECT_EQ(f.offset, 20u);
    EXPECT_EQ(f.payload, buf + 10);
    EXPECT_EQ(twl_reader_init(&r, nullptr, 100), TWR_ERR_NOMEM);
    EXPECT_EQ(twl_reader_init(&r, buf, 9), TWR_ERR_NOMEM);
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

#ifdef TWL_DUMP_BINARY  // the tools are optional in the build

// Each command, its transcript in tests/data/ (none: nothing on standard
// output) and its exit status.
TEST(TwlDump, TranscriptsAndExitStatuses) {
    const std::string data = TWRELAY_SOURCE_DIR "/tests/data/", golden = TWRELAY_BINARY_DIR "/twl_dump_golden.twl",
                      dump = TWL_DUMP_BINARY " ";
    const Bytes stream = wire::load_bytes(data + "twl_dump_golden.bytes");
    std::ofstream(golden, std::ios::binary).write(reinterpret_cast<const char *>(stream.data()), std::streamsize(stream.size()));
    const struct { std::string command, transcript; int status; } runs[] = {
        {dump + golden, "twl_dump_golden.txt", 1},  // the stream ends inside a frame
        {"printf 'TRWK\\1\\222\\0\\0\\0\\0' | " + dump + "--hex", "twl_dump_pong_hex.txt", 0},  // a pong on standard input
        // Control bytes, Mac OS Roman as UTF-8 or escaped, and frames cut in their hex lines or a string.
        {R"(printf 'TRWK\1\214\0\0\0\12\1\2\0\6\1<\1\177\245\\TRWK\1\212\0\0\0\4\253\315' | )" + dump + "--hex", "twl_dump_cut_hex.txt", 1},
        {R"(printf 'TRWK\1\214\0\0\0\12\1\2\0\6\1<\1\177\245\\TRWK\1\214\0\0\0\10\1\2\0\4ab' | )" + dump + "--escaped", "twl_dump_escaped.txt", 1},
        {dump + "--bogus 2>&1", "twl_dump_usage.txt", 2},
        {dump + "--help >/dev/full 2>/dev/null", "", 2},
        // Ends in the start of a header (a cut frame), or in its first five bytes but for the version (skipped).
        {"printf 'TRWK\\1\\222\\0\\0\\0\\0XYZTR' | " + dump, "twl_dump_trailing.txt", 1},
        {"printf 'TRWK\\1\\222\\0\\0\\0\\0XYZTRWK\\2' | " + dump, "twl_dump_wrong_version.txt", 1},
        {dump + golden + " >/dev/full 2>/dev/null", "", 2},  // output that cannot be written
        {dump + golden + "-missing 2>/dev/null", "", 2}};
    for (const auto &run : runs) {
        const test_support::CommandRun got = test_support::run_command(run.command);
        EXPECT_EQ(got.out, run.transcript.empty() ? "" : test_support::read_file(data + run.transcript)) << run.command;
        EXPECT_EQ(got.status, run.status) << run.command;
    }
}

#endif

}  // namespace
