// The typed frame builders. Expected frames are written out field by field
// from the message layouts; every frame is also read back with the header
// reader, and message batches with the field decoders.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "relay/twl.h"

namespace {

using Bytes = std::vector<uint8_t>;
using BuildFn = uint8_t *(*)(size_t *out_len);

// Expected bytes, spelled out: literal bytes and raw text only, so every
// length field in an expectation is written by hand.
struct Wire {
    Bytes v;
    Wire &b(std::initializer_list<uint8_t> bytes) {
        v.insert(v.end(), bytes);
        return *this;
    }
    Wire &s(std::string_view text) {
        v.insert(v.end(), text.begin(), text.end());
        return *this;
    }
};

// Runs a builder, checks that it returned a frame whose stored length the
// header reader agrees with, and hands back a copy of the frame.
template <typename Build>
Bytes frame_of(Build build) {
    size_t len = 99;
    uint8_t *frame = build(&len);
    if (frame == nullptr) {
        ADD_FAILURE() << "no frame";
        return {};
    }
    Bytes out(frame, frame + len);
    std::free(frame);
    uint8_t type = 0;
    uint32_t payload_len = 0;
    EXPECT_EQ(twl_decode_header(out.data(), out.size(), &type, &payload_len), TWR_OK);
    EXPECT_EQ(size_t(payload_len) + TWR_MSG_HEADER_SIZE, out.size());
    return out;
}

template <typename Build>
Bytes payload_of(Build build) {
    const Bytes frame = frame_of(build);
    if (frame.size() < TWR_MSG_HEADER_SIZE) return {};
    return Bytes(frame.begin() + TWR_MSG_HEADER_SIZE, frame.end());
}

template <typename Build>
void expect_refused(Build build) {
    size_t len = 99;
    uint8_t *frame = build(&len);
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(len, 0u);
    std::free(frame);
}

// Distinct bytes at every position, so a cut taken from the wrong place shows.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; ++k) s[k] = char('a' + k % 26);
    return s;
}

uint16_t be16_at(const Bytes &b, size_t at) { return uint16_t(b.at(at) << 8 | b.at(at + 1)); }

// ---- Handshake and control ----

TEST(TwlControl, GatewayStateIsTheStateByteAlone) {
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x91, 0x00, 0x00, 0x00, 0x01})  // header, payload 1
                           .b({0x02})                                                    // state
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_gateway_state(n, 2); }), want);
}

TEST(TwlControl, HandshakeAckCarriesReservedZeroAndCutsTextTo32) {
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x81, 0x00, 0x00, 0x00, 0x25})  // payload 37
                           .b({0x07})                                                    // value_a
                           .b({0x09})                                                    // value_b
                           .b({0x00})                                                    // reserved
                           .b({0x00, 0x20})                                              // n = 32
                           .s("0123456789ABCDEFGHIJKLMNOPQRSTUV")                        // text, cut
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) {
                  return twl_build_handshake_ack(n, 7, 9, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd");
              }),
              want);
}

TEST(TwlControl, AuthResultPutsValueRightAfterTheSecondText) {
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x82, 0x00, 0x00, 0x00, 0x2E})  // payload 46
                           .b({0x01})                                                    // result
                           .b({0x00, 0x1F})                                              // k = 31
                           .s("abcdefghijklmnopqrstuvwxyzABCDE")                         // text_a, cut
                           .b({0x00, 0x08})                                              // m = 8
                           .s("token-12")                                                // text_b, cut
                           .b({0xBE, 0xEF})                                              // value
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) {
                  return twl_build_auth_result(n, 1, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX",
                                               "token-123456", 0xBEEF);
              }),
              want);
}

TEST(TwlControl, StatusWithNullTextSendsEmptyText) {
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x8C, 0x00, 0x00, 0x00, 0x04})  // payload 4
                           .b({0x01, 0x02})                                              // value_a, value_b
                           .b({0x00, 0x00})                                              // n = 0
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_status(n, 1, 2, nullptr); }), want);
}

TEST(TwlControl, ErrorCarriesWordValueAndText) {
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x8D, 0x00, 0x00, 0x00, 0x0B})  // payload 11
                           .b({0x03})                                                    // value_a
                           .b({0x01, 0x02})                                              // value_b
                           .b({0x00, 0x06})                                              // n = 6
                           .s("denied")
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_error(n, 3, 0x0102, "denied"); }), want);
}

// ---- Lists ----

const twl_guild_entry kGuilds[] = {{0x0102, "ab", 0x33, 0x4455}, {0x0A0B, nullptr, 0x66, 0x7788}};
const twl_member_entry kMembers[] = {{0x0102, "ab", 0x33, 0x4455}, {0x0A0B, nullptr, 0x66, 0x7788}};
const twl_dm_entry kDms[] = {{0x0102, "ab", 0x4455, 0x33}, {0x0A0B, nullptr, 0x7788, 0x66}};

TEST(TwlLists, GuildAndMemberEntriesPutTheByteBeforeTheWord) {
    const Bytes entries = Wire{}
                              .b({0x00, 0x02})                                  // count
                              .b({0x01, 0x02, 0x00, 0x02, 'a', 'b', 0x33, 0x44, 0x55})  // id, name, value8, value16
                              .b({0x0A, 0x0B, 0x00, 0x00, 0x66, 0x77, 0x88})   // null name sent empty
                              .v;
    Bytes guild = Wire{}.b({'T', 'R', 'W', 'K', 0x01, 0x83, 0x00, 0x00, 0x00, 0x12}).v;  // payload 18
    guild.insert(guild.end(), entries.begin(), entries.end());
    Bytes member = Wire{}.b({'T', 'R', 'W', 'K', 0x01, 0x90, 0x00, 0x00, 0x00, 0x12}).v;
    member.insert(member.end(), entries.begin(), entries.end());

    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_guild_list(n, kGuilds, 2); }), guild);
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_member_list(n, kMembers, 2); }), member);
}

TEST(TwlLists, DmEntriesPutTheWordBeforeTheByte) {
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x8F, 0x00, 0x00, 0x00, 0x12})  // payload 18
                           .b({0x00, 0x02})                                              // count
                           .b({0x01, 0x02, 0x00, 0x02, 'a', 'b', 0x44, 0x55, 0x33})      // id, name, value16, value8
                           .b({0x0A, 0x0B, 0x00, 0x00, 0x77, 0x88, 0x66})
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_dm_list(n, kDms, 2); }), want);
}

TEST(TwlLists, ChannelListPutsItsIdBeforeTheCount) {
    static const twl_channel_entry channels[] = {{5, 0, "general", 1, 3}};
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x84, 0x00, 0x00, 0x00, 0x13})  // payload 19
                           .b({0x01, 0x02})                                              // list id
                           .b({0x00, 0x01})                                              // count
                           .b({0x00, 0x05})                                              // id
                           .b({0x00})                                                    // value8_a
                           .b({0x00, 0x07})
                           .s("general")                                                 // name
                           .b({0x01})                                                    // value8_b
                           .b({0x00, 0x03})                                              // value16
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_channel_list(n, 0x0102, channels, 1); }), want);
}

struct EmptyListRow {
    const char *label;
    BuildFn build;
    Bytes want;
};

class TwlEmptyLists : public testing::TestWithParam<EmptyListRow> {};

// A count of 0 gives the head fields alone and never reads the array, so a
// null array is fine.
TEST_P(TwlEmptyLists, CountZeroGivesTheHeadFieldsAlone) {
    EXPECT_EQ(frame_of(GetParam().build), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    EveryList, TwlEmptyLists,
    testing::Values(
        EmptyListRow{"guild", [](size_t *n) { return twl_build_guild_list(n, nullptr, 0); },
                     {'T', 'R', 'W', 'K', 0x01, 0x83, 0x00, 0x00, 0x00, 0x02, /* count */ 0x00, 0x00}},
        EmptyListRow{"member", [](size_t *n) { return twl_build_member_list(n, nullptr, 0); },
                     {'T', 'R', 'W', 'K', 0x01, 0x90, 0x00, 0x00, 0x00, 0x02, /* count */ 0x00, 0x00}},
        EmptyListRow{"dm", [](size_t *n) { return twl_build_dm_list(n, nullptr, 0); },
                     {'T', 'R', 'W', 'K', 0x01, 0x8F, 0x00, 0x00, 0x00, 0x02, /* count */ 0x00, 0x00}},
        EmptyListRow{"channel", [](size_t *n) { return twl_build_channel_list(n, 0x0102, nullptr, 0); },
                     {'T', 'R', 'W', 'K', 0x01, 0x84, 0x00, 0x00, 0x00, 0x04, /* id */ 0x01, 0x02,
                      /* count */ 0x00, 0x00}},
        EmptyListRow{"voice_members", [](size_t *n) { return twl_build_voice_members(n, 0x0304, nullptr, 0); },
                     {'T', 'R', 'W', 'K', 0x01, 0x94, 0x00, 0x00, 0x00, 0x03, /* id */ 0x03, 0x04,
                      /* count */ 0x00}},
        EmptyListRow{"message_batch",
                     [](size_t *n) { return twl_build_message_batch(n, 0x0506, nullptr, 0, 1, 0); },
                     {'T', 'R', 'W', 'K', 0x01, 0x85, 0x00, 0x00, 0x00, 0x05, /* id */ 0x05, 0x06,
                      /* batch flags */ 0x01, /* count */ 0x00, 0x00}}),
    [](const testing::TestParamInfo<EmptyListRow> &info) { return std::string(info.param.label); });

// ---- Chat messages ----

// Every field distinct; flags and item_name come from the row.
twl_message sample_message(uint8_t flags, const char *item_name) {
    return twl_message{0x0001, 0x0002, 0x03040506, flags, 0x0708, "n", "hi", 0x090A, item_name, 0x0B0C, "tn", "tt"};
}

struct FlagRow {
    const char *label;
    uint8_t flags;
    const char *item_name;
    Bytes want_record;
};

class TwlMessageFlags : public testing::TestWithParam<FlagRow> {};

TEST_P(TwlMessageFlags, CreateWritesTheRecordTheFlagsSelect) {
    const FlagRow &row = GetParam();
    const twl_message m = sample_message(row.flags, row.item_name);
    Bytes want = {0x00, 0xFF};  // create's id
    want.insert(want.end(), row.want_record.begin(), row.want_record.end());
    EXPECT_EQ(payload_of([&](size_t *n) { return twl_build_message_create(n, 0x00FF, &m); }), want);
}

// Records of sample_message, field by field:
// id, id_b, value32, flags, value16, name, text, [item block], value16_b, [trailer].
#define RECORD_HEAD 0x00, 0x01, 0x00, 0x02, 0x03, 0x04, 0x05, 0x06
#define RECORD_BODY 0x07, 0x08, 0x00, 0x01, 'n', 0x00, 0x02, 'h', 'i'
#define RECORD_VALUE16_B 0x0B, 0x0C
#define RECORD_TRAILER 0x00, 0x02, 't', 'n', 0x00, 0x02, 't', 't'

INSTANTIATE_TEST_SUITE_P(
    Flags, TwlMessageFlags,
    testing::Values(
        FlagRow{"plain", 0x00, nullptr, {RECORD_HEAD, 0x00, RECORD_BODY, RECORD_VALUE16_B}},
        // An empty item_name does not switch the item block on.
        FlagRow{"empty_item_name_alone", 0x00, "", {RECORD_HEAD, 0x00, RECORD_BODY, RECORD_VALUE16_B}},
        // A non-empty item_name adds 0x02; 0x01 passes through. Item block:
        // count 1, item_name, kind 1, item_id.
        FlagRow{"item_name_adds_0x02",
                0x01,
                "pic.g",
                {RECORD_HEAD, 0x03, RECORD_BODY, 0x01, 0x00, 0x05, 'p', 'i', 'c', '.', 'g', 0x01, 0x09, 0x0A,
                 RECORD_VALUE16_B}},
        // 0x02 set by the caller is kept: the block goes out with an empty name.
        FlagRow{"caller_0x02_empty_name",
                0x02,
                "",
                {RECORD_HEAD, 0x02, RECORD_BODY, 0x01, 0x00, 0x00, 0x01, 0x09, 0x0A, RECORD_VALUE16_B}},
        FlagRow{"caller_0x02_null_name",
                0x02,
                nullptr,
                {RECORD_HEAD, 0x02, RECORD_BODY, 0x01, 0x00, 0x00, 0x01, 0x09, 0x0A, RECORD_VALUE16_B}},
        // 0x04 writes the trailer after value16_b; without it the trailer
        // strings stay out although set (every other row).
        FlagRow{"trailer", 0x04, nullptr, {RECORD_HEAD, 0x04, RECORD_BODY, RECORD_VALUE16_B, RECORD_TRAILER}},
        FlagRow{"everything",
                0x84,
                "x",
                {RECORD_HEAD, 0x86, RECORD_BODY, 0x01, 0x00, 0x01, 'x', 0x01, 0x09, 0x0A, RECORD_VALUE16_B,
                 RECORD_TRAILER}}),
    [](const testing::TestParamInfo<FlagRow> &info) { return std::string(info.param.label); });

TEST(TwlMessages, MinimalRecordIsSeventeenBytes) {
    const twl_message empty{};
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x86, 0x00, 0x00, 0x00, 0x13})  // payload 2 + 17
                           .b({0x12, 0x34})                                              // create's id
                           .b({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})          // id, id_b, value32
                           .b({0x00})                                                    // flags
                           .b({0x00, 0x00, 0x00, 0x00, 0x00, 0x00})                      // value16, name, text
                           .b({0x00, 0x00})                                              // value16_b
                           .v;
    EXPECT_EQ(frame_of([&](size_t *n) { return twl_build_message_create(n, 0x1234, &empty); }), want);
}

TEST(TwlMessages, BatchWritesRecordsBackToBackInArrayOrder) {
    const twl_message messages[] = {twl_message{}, sample_message(0x04, nullptr)};
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x85, 0x00, 0x00, 0x00, 0x32})  // payload 50
                           .b({0x01, 0x02})                                              // batch id
                           .b({0x03})                                                    // batch flags
                           .b({0x00, 0x02})                                              // count
                           .b({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,     // minimal record
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})
                           .b({RECORD_HEAD, 0x04, RECORD_BODY, RECORD_VALUE16_B, RECORD_TRAILER})
                           .v;
    EXPECT_EQ(frame_of([&](size_t *n) { return twl_build_message_batch(n, 0x0102, messages, 2, 1, 1); }), want);
}

TEST(TwlMessages, BatchFlagsAreTwoBitsFromTheTwoInts) {
    struct Row {
        int flag_a, flag_b;
        uint8_t want;
    };
    for (const Row row : {Row{0, 0, 0x00}, Row{5, 0, 0x01}, Row{0, -7, 0x02}, Row{-1, 1, 0x03}}) {
        const Bytes payload =
            payload_of([&](size_t *n) { return twl_build_message_batch(n, 0, nullptr, 0, row.flag_a, row.flag_b); });
        ASSERT_EQ(payload.size(), 5u);
        EXPECT_EQ(payload[2], row.want) << row.flag_a << ", " << row.flag_b;
    }
}

TEST(TwlMessages, DeleteUpdateTypingAndUnread) {
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_message_delete(n, 0x0102, 0x0304); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x87, 0x00, 0x00, 0x00, 0x04})  // payload 4
                   .b({0x01, 0x02, 0x03, 0x04})                                  // id_a, id_b
                   .v));
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_message_update(n, 0x0102, 0x0304, "edited"); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x88, 0x00, 0x00, 0x00, 0x0C})  // payload 12
                   .b({0x01, 0x02, 0x03, 0x04})                                  // id_a, id_b
                   .b({0x00, 0x06})
                   .s("edited")  // text
                   .v));
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_typing_start(n, 0x0042, "kim"); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x89, 0x00, 0x00, 0x00, 0x07})  // payload 7
                   .b({0x00, 0x42})                                              // id
                   .b({0x00, 0x03})
                   .s("kim")  // name
                   .v));
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_unread_update(n, 0x0102, 0x03, 0x0405); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x8E, 0x00, 0x00, 0x00, 0x05})  // payload 5
                   .b({0x01, 0x02, 0x03, 0x04, 0x05})                            // id, value8, value16
                   .v));
}

// ---- Media and voice ----

TEST(TwlMedia, ImageDataFollowsItsFifteenByteHead) {
    static const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    const Bytes head = Wire{}
                           .b({0x01, 0x02})              // id
                           .b({0x03, 0x04, 0x05})        // value8_a, value8_b, value8_c
                           .b({0x06, 0x07, 0x08, 0x09})  // value16_a, value16_b
                           .b({0x0A, 0x0B})              // value16_c
                           .v;
    Bytes with_data = Wire{}.b({'T', 'R', 'W', 'K', 0x01, 0x8B, 0x00, 0x00, 0x00, 0x13}).v;  // payload 19
    with_data.insert(with_data.end(), head.begin(), head.end());
    with_data.insert(with_data.end(), {0x00, 0x00, 0x00, 0x04, 0xDE, 0xAD, 0xBE, 0xEF});     // length, data
    Bytes without = Wire{}.b({'T', 'R', 'W', 'K', 0x01, 0x8B, 0x00, 0x00, 0x00, 0x0F}).v;    // payload 15
    without.insert(without.end(), head.begin(), head.end());
    without.insert(without.end(), {0x00, 0x00, 0x00, 0x00});                                // length 0

    EXPECT_EQ(frame_of([](size_t *n) {
                  return twl_build_image_data(n, 0x0102, 3, 4, 5, 0x0607, 0x0809, 0x0A0B, data, 4);
              }),
              with_data);
    EXPECT_EQ(frame_of([](size_t *n) {
                  return twl_build_image_data(n, 0x0102, 3, 4, 5, 0x0607, 0x0809, 0x0A0B, nullptr, 0);
              }),
              without);
}

TEST(TwlVoice, StatusSpeakingAndError) {
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_voice_status(n, 1, 0x0203, nullptr); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x93, 0x00, 0x00, 0x00, 0x05})  // payload 5
                   .b({0x01, 0x02, 0x03})                                        // value8, id
                   .b({0x00, 0x00})                                              // null name
                   .v));
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_voice_speaking(n, 0x0102, 1); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x95, 0x00, 0x00, 0x00, 0x03})  // payload 3
                   .b({0x01, 0x02, 0x01})                                        // id, value8
                   .v));
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_voice_error(n, 7, "no mic"); }),
              (Wire{}
                   .b({'T', 'R', 'W', 'K', 0x01, 0x96, 0x00, 0x00, 0x00, 0x09})  // payload 9
                   .b({0x07})                                                    // value8
                   .b({0x00, 0x06})
                   .s("no mic")  // text
                   .v));
}

TEST(TwlVoice, MembersInArrayOrder) {
    static const twl_voice_member members[] = {{1, "ann", 2}, {0x0102, nullptr, 0xFF}};
    const Bytes want = Wire{}
                           .b({'T', 'R', 'W', 'K', 0x01, 0x94, 0x00, 0x00, 0x00, 0x10})  // payload 16
                           .b({0x0A, 0x0B})                                              // list id
                           .b({0x02})                                                    // count, one byte
                           .b({0x00, 0x01, 0x00, 0x03, 'a', 'n', 'n', 0x02})             // id, name, value8
                           .b({0x01, 0x02, 0x00, 0x00, 0xFF})
                           .v;
    EXPECT_EQ(frame_of([](size_t *n) { return twl_build_voice_members(n, 0x0A0B, members, 2); }), want);
}

TEST(TwlVoice, MembersFillTheOneByteCountWith255) {
    std::vector<twl_voice_member> members;
    for (unsigned k = 1; k <= 255; ++k) members.push_back({uint16_t(k), "v", uint8_t(k)});
    Wire want;
    want.b({0x00, 0x09, 0xFF});  // list id, count 255
    for (unsigned k = 1; k <= 255; ++k) want.b({0x00, uint8_t(k), 0x00, 0x01, 'v', uint8_t(k)});
    ASSERT_EQ(want.v.size(), 3u + 255u * 6u);
    EXPECT_EQ(payload_of([&](size_t *n) { return twl_build_voice_members(n, 9, members.data(), 255); }), want.v);
}

// ---- String maxima ----

struct CutRow {
    const char *label;
    uint8_t *(*build)(size_t *out_len, const char *text);
    size_t length_at;    // offset of the field's length in the payload
    size_t max_len;
    size_t payload_len;  // with the field at its maximum, the other strings empty
};

class TwlStringCuts : public testing::TestWithParam<CutRow> {};

// One byte over the maximum is the closest a cut can be got wrong.
TEST_P(TwlStringCuts, FieldIsCutAtItsMaximum) {
    const CutRow &row = GetParam();
    const std::string text = pattern(row.max_len + 1);
    const Bytes payload = payload_of([&](size_t *n) { return row.build(n, text.c_str()); });
    ASSERT_EQ(payload.size(), row.payload_len);
    EXPECT_EQ(be16_at(payload, row.length_at), row.max_len);
    EXPECT_EQ(std::string(payload.begin() + long(row.length_at) + 2,
                          payload.begin() + long(row.length_at + 2 + row.max_len)),
              text.substr(0, row.max_len));
}

twl_message only_text(const char *twl_message::*field, const char *text, uint8_t flags = 0) {
    twl_message m{};
    m.flags = flags;
    m.*field = text;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    EveryStringField, TwlStringCuts,
    testing::Values(
        CutRow{"handshake_text", [](size_t *n, const char *s) { return twl_build_handshake_ack(n, 0, 0, s); }, 3,
               32, 37},
        CutRow{"auth_text_a", [](size_t *n, const char *s) { return twl_build_auth_result(n, 0, s, nullptr, 0); },
               1, 31, 38},
        CutRow{"auth_text_b", [](size_t *n, const char *s) { return twl_build_auth_result(n, 0, nullptr, s, 0); },
               3, 8, 15},
        CutRow{"status_text", [](size_t *n, const char *s) { return twl_build_status(n, 0, 0, s); }, 2, 128, 132},
        CutRow{"error_text", [](size_t *n, const char *s) { return twl_build_error(n, 0, 0, s); }, 3, 256, 261},
        CutRow{"guild_name",
               [](size_t *n, const char *s) {
                   const twl_guild_entry e{1, s, 0, 0};
                   return twl_build_guild_list(n, &e, 1);
               },
               4, 31, 40},
        CutRow{"member_name",
               [](size_t *n, const char *s) {
                   const twl_member_entry e{1, s, 0, 0};
                   return twl_build_member_list(n, &e, 1);
               },
               4, 31, 40},
        CutRow{"dm_name",
               [](size_t *n, const char *s) {
                   const twl_dm_entry e{1, s, 0, 0};
                   return twl_build_dm_list(n, &e, 1);
               },
               4, 31, 40},
        CutRow{"channel_name",
               [](size_t *n, const char *s) {
                   const twl_channel_entry e{1, 0, s, 0, 0};
                   return twl_build_channel_list(n, 0, &e, 1);
               },
               7, 31, 43},
        // In a create the record starts at 2; name at 2 + 11, text after it.
        CutRow{"message_name",
               [](size_t *n, const char *s) {
                   const twl_message m = only_text(&twl_message::name, s);
                   return twl_build_message_create(n, 0, &m);
               },
               13, 31, 2 + 17 + 31},
        CutRow{"message_text",
               [](size_t *n, const char *s) {
                   const twl_message m = only_text(&twl_message::text, s);
                   return twl_build_message_create(n, 0, &m);
               },
               15, 2000, 2 + 17 + 2000},
        CutRow{"message_text_in_batch",
               [](size_t *n, const char *s) {
                   const twl_message m = only_text(&twl_message::text, s);
                   return twl_build_message_batch(n, 0, &m, 1, 0, 0);
               },
               18, 2000, 5 + 17 + 2000},
        CutRow{"item_name",
               [](size_t *n, const char *s) {
                   const twl_message m = only_text(&twl_message::item_name, s);
                   return twl_build_message_create(n, 0, &m);
               },
               18, 63, 2 + 17 + 6 + 63},
        CutRow{"trailer_name",
               [](size_t *n, const char *s) {
                   const twl_message m = only_text(&twl_message::trailer_name, s, 0x04);
                   return twl_build_message_create(n, 0, &m);
               },
               19, 31, 2 + 17 + 33 + 2},
        CutRow{"trailer_text",
               [](size_t *n, const char *s) {
                   const twl_message m = only_text(&twl_message::trailer_text, s, 0x04);
                   return twl_build_message_create(n, 0, &m);
               },
               21, 60, 2 + 17 + 2 + 62},
        CutRow{"update_text", [](size_t *n, const char *s) { return twl_build_message_update(n, 0, 0, s); }, 4,
               2000, 2006},
        CutRow{"typing_name", [](size_t *n, const char *s) { return twl_build_typing_start(n, 0, s); }, 2, 31, 35},
        CutRow{"voice_status_name", [](size_t *n, const char *s) { return twl_build_voice_status(n, 0, 0, s); },
               3, 31, 36},
        CutRow{"voice_member_name",
               [](size_t *n, const char *s) {
                   const twl_voice_member m{1, s, 0};
                   return twl_build_voice_members(n, 0, &m, 1);
               },
               5, 31, 39},
        CutRow{"voice_error_text", [](size_t *n, const char *s) { return twl_build_voice_error(n, 0, s); }, 1, 128,
               131}),
    [](const testing::TestParamInfo<CutRow> &info) { return std::string(info.param.label); });

// ---- Whole records, payload limit, null inputs ----

// Every string over its maximum, item block and trailer on: 2,212 bytes.
struct MaximalMessage {
    std::string name = pattern(40), text = pattern(2100), item = pattern(70), trailer_name = pattern(40),
                trailer_text = pattern(70);
    twl_message m{7,   8, 9, 0x04, 10, name.c_str(), text.c_str(), 11, item.c_str(), 12, trailer_name.c_str(),
                  trailer_text.c_str()};
};

// Reads one record back with the field decoders and returns its size, or 0
// when it runs past avail.
size_t read_record(const uint8_t *p, size_t avail) {
    char text[2048];
    uint8_t flags = 0;
    if (avail < 11 || twl_decode_u8(p + 8, avail - 8, &flags) == 0) return 0;
    size_t off = 11;  // id, id_b, value32, flags, value16
    auto skip = [&](size_t n) { return (off += n) <= avail; };
    auto string = [&] {
        const size_t n = off < avail ? twl_decode_string(p + off, avail - off, text, sizeof text, nullptr) : 0;
        off += n;
        return n != 0;
    };
    if (!string() || !string()) return 0;                                      // name, text
    if ((flags & 0x02) && !(skip(1) && string() && skip(3))) return 0;         // item block
    if (!skip(2)) return 0;                                                     // value16_b
    if ((flags & 0x04) && !(string() && string())) return 0;                   // trailer
    return off;
}

// Walks a batch payload: the count must promise exactly the records present.
size_t records_in_batch(const Bytes &payload) {
    const size_t count = be16_at(payload, 3);
    size_t off = 5;
    for (size_t k = 0; k < count; ++k) {
        const size_t n = read_record(payload.data() + off, payload.size() - off);
        if (n == 0) return SIZE_MAX;
        off += n;
    }
    return off == payload.size() ? count : SIZE_MAX;
}

TEST(TwlWholeRecords, CreateKeepsTheTrailerOfTheLargestRecord) {
    const MaximalMessage big;
    const Bytes payload = payload_of([&](size_t *n) { return twl_build_message_create(n, 1, &big.m); });
    ASSERT_EQ(payload.size(), 2u + 2212u);
    EXPECT_EQ(payload[2 + 8], 0x06);  // written flags: item added to the trailer bit
    EXPECT_EQ(read_record(payload.data() + 2, payload.size() - 2), 2212u);
    // The record ends with trailer_text: length 60, then its first 60 bytes.
    EXPECT_EQ(be16_at(payload, payload.size() - 62), 60u);
    EXPECT_EQ(std::string(payload.end() - 60, payload.end()), big.trailer_text.substr(0, 60));
}

TEST(TwlWholeRecords, BatchHoldsEveryMaximalRecordUpToTwentyNine) {
    const MaximalMessage big;
    for (uint16_t count : {1, 2, 29}) {
        const std::vector<twl_message> messages(count, big.m);
        const Bytes payload =
            payload_of([&](size_t *n) { return twl_build_message_batch(n, 0, messages.data(), count, 0, 0); });
        EXPECT_EQ(payload.size(), 5u + count * 2212u) << count;
        EXPECT_EQ(records_in_batch(payload), count);
    }
}

TEST(TwlWholeRecords, BatchStopsAtTheFirstRecordThatDoesNotFitAndCountsWhatItWrote) {
    const MaximalMessage big;
    // 29 maximal records take 64,153 bytes; the thirtieth would pass 65,536.
    std::vector<twl_message> messages(30, big.m);
    const Bytes thirty =
        payload_of([&](size_t *n) { return twl_build_message_batch(n, 0, messages.data(), 30, 0, 0); });
    ASSERT_EQ(thirty.size(), 5u + 29u * 2212u);
    EXPECT_EQ(thirty[3], 0x00);  // count 29
    EXPECT_EQ(thirty[4], 0x1D);
    EXPECT_EQ(records_in_batch(thirty), 29u);

    // A small record after the one that did not fit stays out too, so the
    // records sent are always the first ones of the array.
    messages.push_back(twl_message{});
    const Bytes later =
        payload_of([&](size_t *n) { return twl_build_message_batch(n, 0, messages.data(), 31, 0, 0); });
    EXPECT_EQ(later, thirty);

    const std::vector<twl_message> many(1000, big.m);
    const Bytes capped =
        payload_of([&](size_t *n) { return twl_build_message_batch(n, 0, many.data(), 1000, 0, 0); });
    EXPECT_EQ(records_in_batch(capped), 29u);
}

TEST(TwlWholeRecords, BatchFillsItsSixtyFourKibToTheLastByte) {
    const MaximalMessage big;
    // 65,536 - (5 + 29 x 2,212) = 1,383 bytes left: a record with a text of
    // 1,366 bytes (17 + 1,366) fits exactly, one byte more does not.
    for (size_t text_len : {1366u, 1367u}) {
        const std::string text(text_len, 'q');
        std::vector<twl_message> messages(29, big.m);
        messages.push_back(twl_message{});
        messages.back().text = text.c_str();
        const Bytes payload =
            payload_of([&](size_t *n) { return twl_build_message_batch(n, 0, messages.data(), 30, 0, 0); });
        const bool fits = text_len == 1366;
        EXPECT_EQ(payload.size(), fits ? 65536u : 64153u) << text_len;
        EXPECT_EQ(records_in_batch(payload), fits ? 30u : 29u) << text_len;
    }
}

struct LimitRow {
    const char *label;
    uint8_t *(*build)(size_t *out_len, size_t count);
    size_t largest_count;  // the most maximal entries a frame can carry
    uint32_t payload_len;  // the payload at that count
};

class TwlPayloadLimit : public testing::TestWithParam<LimitRow> {};

template <typename Entry>
std::vector<Entry> maximal_entries(size_t count) {
    static const std::string name = pattern(40);
    Entry e{};
    e.name = name.c_str();
    return std::vector<Entry>(count, e);
}

TEST_P(TwlPayloadLimit, LongestListStillFramesAndOneMoreEntryIsRefused) {
    const LimitRow &row = GetParam();
    size_t len = 0;
    uint8_t *frame = row.build(&len, row.largest_count);
    ASSERT_NE(frame, nullptr);
    uint8_t type = 0;
    uint32_t payload_len = 0;
    EXPECT_EQ(twl_decode_header(frame, len, &type, &payload_len), TWR_OK);
    EXPECT_EQ(payload_len, row.payload_len);
    EXPECT_EQ(len, size_t(row.payload_len) + TWR_MSG_HEADER_SIZE);
    std::free(frame);
    expect_refused([&](size_t *n) { return row.build(n, row.largest_count + 1); });
}

INSTANTIATE_TEST_SUITE_P(
    Lists, TwlPayloadLimit,
    testing::Values(
        // 2 + 55,188 x 38 = 2,097,146; one entry more is 2,097,184.
        LimitRow{"guild",
                 [](size_t *n, size_t count) {
                     return twl_build_guild_list(n, maximal_entries<twl_guild_entry>(count).data(), uint16_t(count));
                 },
                 55188, 2097146},
        LimitRow{"member",
                 [](size_t *n, size_t count) {
                     return twl_build_member_list(n, maximal_entries<twl_member_entry>(count).data(),
                                                  uint16_t(count));
                 },
                 55188, 2097146},
        LimitRow{"dm",
                 [](size_t *n, size_t count) {
                     return twl_build_dm_list(n, maximal_entries<twl_dm_entry>(count).data(), uint16_t(count));
                 },
                 55188, 2097146},
        // 4 + 53,773 x 39 = 2,097,151; one entry more is 2,097,190.
        LimitRow{"channel",
                 [](size_t *n, size_t count) {
                     return twl_build_channel_list(n, 0, maximal_entries<twl_channel_entry>(count).data(),
                                                   uint16_t(count));
                 },
                 53773, 2097151}),
    [](const testing::TestParamInfo<LimitRow> &info) { return std::string(info.param.label); });

TEST(TwlPayloadLimit, ImageDataUpToTheLimitAndNotBeyond) {
    const std::vector<uint8_t> data(2097138, 0x5A);
    size_t len = 0;
    uint8_t *frame = twl_build_image_data(&len, 1, 0, 0, 0, 0, 0, 0, data.data(), 2097137);
    ASSERT_NE(frame, nullptr);
    uint8_t type = 0;
    uint32_t payload_len = 0;
    EXPECT_EQ(twl_decode_header(frame, len, &type, &payload_len), TWR_OK);
    EXPECT_EQ(payload_len, 2097152u);  // exactly TWR_MSG_MAX_PAYLOAD
    EXPECT_EQ(frame[len - 1], 0x5A);
    std::free(frame);
    expect_refused([&](size_t *n) { return twl_build_image_data(n, 1, 0, 0, 0, 0, 0, 0, data.data(), 2097138); });
    // Refused from the length alone: the one byte behind data is never read.
    static const uint8_t one = 0;
    expect_refused([](size_t *n) { return twl_build_image_data(n, 1, 0, 0, 0, 0, 0, 0, &one, UINT32_MAX); });
}

struct NullRow {
    const char *label;
    BuildFn build;
};

class TwlNullInputs : public testing::TestWithParam<NullRow> {};

// A frame that promised entries, a record or data bytes it does not hold
// would mislead the client; these give no frame at all.
TEST_P(TwlNullInputs, NullArrayWithACountGivesNoFrame) { expect_refused(GetParam().build); }

INSTANTIATE_TEST_SUITE_P(
    Builders, TwlNullInputs,
    testing::Values(
        NullRow{"guild", [](size_t *n) { return twl_build_guild_list(n, nullptr, 1); }},
        NullRow{"member", [](size_t *n) { return twl_build_member_list(n, nullptr, 1); }},
        NullRow{"dm", [](size_t *n) { return twl_build_dm_list(n, nullptr, 1); }},
        NullRow{"channel", [](size_t *n) { return twl_build_channel_list(n, 1, nullptr, 1); }},
        NullRow{"voice_members", [](size_t *n) { return twl_build_voice_members(n, 1, nullptr, 1); }},
        NullRow{"message_batch", [](size_t *n) { return twl_build_message_batch(n, 1, nullptr, 1, 0, 0); }},
        NullRow{"message_create", [](size_t *n) { return twl_build_message_create(n, 1, nullptr); }},
        NullRow{"image_data",
                [](size_t *n) { return twl_build_image_data(n, 1, 0, 0, 0, 0, 0, 0, nullptr, 4); }}),
    [](const testing::TestParamInfo<NullRow> &info) { return std::string(info.param.label); });

}  // namespace
