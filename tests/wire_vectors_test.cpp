// The golden frames of vectors/*.txt, both ways: each builder writes exactly
// its vector's bytes, each parser gives back the vector's fields and refuses
// every shorter payload, and each malformed payload is refused. The layout
// table agrees too: the streaming reader, which walks it, reads the same
// fields from each frame and faults on each malformed one.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "relay/twl.h"
#include "support/wire.h"

namespace {

// A vector that does not read ends the run with its file and line.
const std::vector<wire::Vector> &vectors() {
    static const std::vector<wire::Vector> all = wire::load_vectors(TWRELAY_SOURCE_DIR "/vectors");
    return all;
}

// The parser's answer for the first n bytes, from a block of exactly n bytes
// so that AddressSanitizer sees any read past them.
std::optional<wire::Record> parse_first(const wire::Codec &c, const wire::Bytes &payload, size_t n) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n + 1]);
    std::copy_n(payload.begin(), n, copy.get());
    return wire::parse(c, n == 0 ? nullptr : copy.get(), n);
}

// Every cut of a small payload; the ends and a stride of a large one, whose
// list parsers would otherwise take quadratic time.
std::vector<size_t> cuts(size_t n) {
    std::vector<size_t> out;
    for (size_t k = 0; k < n; ++k)
        if (n <= 4096 || k < 256 || n - k <= 256 || k % (n / 64) == 0) out.push_back(k);
    return out;
}

// The fields the streaming reader gives for one frame fed whole, as the
// vectors write them; nullopt when it faults or skips.
std::optional<wire::Record> walk_table(const wire::Bytes &frame) {
    twlc_reader r;
    twlc_init(&r);
    twlc_event ev;
    const unsigned char *at = frame.data();
    unsigned long left = frame.size();
    wire::Record out;
    for (int kind; (kind = twlc_next(&r, &at, &left, &ev)) != TWLC_EV_NEED;) {
        wire::add_client_event(out, kind, ev);
        if (kind == TWLC_EV_END) return ev.value == 1 ? std::optional(out) : std::nullopt;
        if (kind == TWLC_EV_SKIP || kind == TWLC_EV_FAULT) return std::nullopt;
    }
    return std::nullopt;
}

TEST(WireVectors, EveryFileReads) {
    EXPECT_GE(vectors().size(), 21u);
    // Each type has vectors, and the table's largest payload is that of its
    // largest vector, but for the lists, which stop short of the frame limit.
    for (const wire::Codec &c : wire::codecs()) {
        size_t largest = 0, n = 0;
        for (const wire::Vector &v : vectors())
            if (v.codec == &c && v.frame && !v.malformed) largest = std::max(largest, v.frame->size() - TWR_MSG_HEADER_SIZE), ++n;
        EXPECT_GT(n, 0u) << "no vector for " << c.name;
        EXPECT_TRUE(largest == c.layout->max_size || (largest < c.layout->max_size && c.layout->max_size == TWL_MAX_PAYLOAD))
            << c.name << ": largest vector payload " << largest;
    }
}

class WireVector : public testing::TestWithParam<size_t> {};

TEST_P(WireVector, BuilderParserAndEveryCutAgree) {
    const wire::Vector &v = vectors()[GetParam()];
    const wire::Codec &c = *v.codec;
    const std::optional<wire::Bytes> built = v.malformed ? std::nullopt : wire::build(c, wire::merge(v.fields, v.input));
    if (!v.frame) {
        EXPECT_FALSE(built) << "the builder should refuse";
        return;
    }
    const wire::Bytes &frame = *v.frame;
    ASSERT_GE(frame.size(), size_t(TWR_MSG_HEADER_SIZE));
    uint8_t type = 0;
    uint32_t len = 0;
    // A header announcing more than 2 MiB is refused, but still states its length.
    const int rc = twl_decode_header(frame.data(), frame.size(), &type, &len);
    ASSERT_EQ(rc, len > TWR_MSG_MAX_PAYLOAD ? TWR_ERR_PROTO : TWR_OK);
    ASSERT_EQ(type, c.layout->type);
    ASSERT_EQ(size_t(len), frame.size() - TWR_MSG_HEADER_SIZE);
    const wire::Bytes payload(frame.begin() + TWR_MSG_HEADER_SIZE, frame.end());
    const std::optional<wire::Record> walked = walk_table(frame);
    if (v.malformed) {
        EXPECT_FALSE(parse_first(c, payload, payload.size())) << "a malformed payload was accepted";
        EXPECT_FALSE(walked) << "the layout table accepts a malformed payload";
        return;
    }
    if (!walked || *walked != v.fields)
        ADD_FAILURE() << "the layout table reads " << (walked ? wire::describe(*walked) : "a fault");
    ASSERT_TRUE(built) << "the builder gave no frame";
    if (*built != frame) {
        const auto diff = std::mismatch(built->begin(), built->end(), frame.begin(), frame.end());
        ADD_FAILURE() << "frames differ at byte " << (diff.first - built->begin()) << " (built " << built->size()
                      << " bytes, expected " << frame.size() << ")";
    }
    const std::optional<wire::Record> fields = parse_first(c, payload, payload.size());
    ASSERT_TRUE(fields) << "the parser refused the frame";
    EXPECT_TRUE(*fields == v.fields) << "parsed:   " << wire::describe(*fields) << "\nexpected: " << wire::describe(v.fields);
    for (size_t n : cuts(payload.size())) EXPECT_FALSE(parse_first(c, payload, n)) << "accepted a cut to " << n;
}

INSTANTIATE_TEST_SUITE_P(Vectors, WireVector, testing::Range<size_t>(0, vectors().size()),
                         [](const testing::TestParamInfo<size_t> &info) {
                             std::string name = vectors()[info.param].label;
                             for (char &ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

}  // namespace
