// A chat message prepared for a Mac client, byte for byte: the worked example
// of README.md (tests/data/message_text_example.txt) and messages that mix
// the three passes (tests/data/message_text_rows.txt). Truncation, the
// balance of the style bytes and agreement with the three passes run one
// after another, also for a message long enough to need a heap buffer, are
// properties in fuzz/fuzz_text.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/message_text.h"
#include "support/test_support.h"

namespace {

std::string for_mac(const std::string &in) {
    std::string out(in.size() * 4 + 1, 'Z');
    return out.substr(0, tw_text_for_mac(in.data(), in.size(), out.data(), out.size()));
}

TEST(TextForMac, EveryRowGivesItsBytes) {
    for (const char *file : {"message_text_example.txt", "message_text_rows.txt"})
        for (const std::vector<std::string> &row : test_support::data_rows(file)) EXPECT_EQ(for_mac(row.at(1)), row.at(2)) << row[0];
}

}  // namespace
