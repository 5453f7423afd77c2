// A chat message prepared for a Mac client: the worked example of README.md
// and messages that mix the three passes, byte for byte (most of them in
// tests/data/message_text_rows.txt). Truncation, the balance of the style
// bytes and agreement with the three passes run one after another are
// properties in fuzz/fuzz_text.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/message_text.h"
#include "support/test_support.h"

namespace {

using Row = std::vector<std::string>;  // name, input, output

std::string for_mac(const std::string &in) {
    std::string out(in.size() * 4 + 1, 'Z');
    return out.substr(0, tw_text_for_mac(in.data(), in.size(), out.data(), out.size()));
}

TEST(TextForMac, WorkedExample) {
    const Row example = test_support::data_rows("message_text_example.txt").at(0);
    EXPECT_EQ(for_mac(example[1]), example[2]);
}

class TextForMac : public testing::TestWithParam<Row> {};

TEST_P(TextForMac, GivesTheExpectedBytes) { EXPECT_EQ(for_mac(GetParam()[1]), GetParam()[2]); }

std::string name(const testing::TestParamInfo<Row> &info) { return info.param[0]; }

INSTANTIATE_TEST_SUITE_P(Data, TextForMac, testing::ValuesIn(test_support::data_rows("message_text_rows.txt")), name);
INSTANTIATE_TEST_SUITE_P(Rows, TextForMac, testing::Values(  // rows built in code
    Row{"LongMessageTakesAHeapBuffer", "**" + std::string(3000, 'x') + "**", "\x01" + std::string(3000, 'x') + "\x01"}), name);

}  // namespace
