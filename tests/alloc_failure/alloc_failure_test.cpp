// Every allocation site of the core, made to fail one at a time: each
// operation must take exactly its documented failure path and leak nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "fault_injection.h"
#include "relay/twl.h"

namespace {

// Runs `op` with allocation n failing, for n = 0, 1, 2, ... until a run no
// longer reaches the failure. `op` receives whether this run is a failing
// one and checks the outcome itself; every run must leave no block behind.
// Returns the number of failing runs, i.e. the allocations `op` makes.
int sweep(const std::function<void(bool failing)> &op) {
    for (int n = 0; n < 10000; ++n) {
        fault::start_tracking();
        fault::fail_nth(n);
        op(true);
        const bool delivered = fault::failure_delivered();
        fault::disarm();
        const size_t leaked = fault::leaked();
        fault::stop_tracking();
        EXPECT_EQ(leaked, 0u) << "blocks left after failing allocation " << n;
        if (!delivered) return n;
    }
    ADD_FAILURE() << "the sweep never ended";
    return -1;
}

TEST(AllocFailure, HookFailsExactlyTheChosenAllocation) {
    fault::fail_nth(1);
    void *first = std::malloc(8);
    void *second = std::malloc(8);
    void *third = std::malloc(8);
    fault::disarm();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_TRUE(fault::failure_delivered());
    std::free(first);
    std::free(third);

    fault::start_tracking();
    void *kept = std::malloc(4);
    fault::stop_tracking();
    EXPECT_EQ(fault::leaked(), 1u);
    std::free(kept);
    EXPECT_EQ(fault::leaked(), 0u);
}

TEST(AllocFailure, BuildMessageLeavesTheOutPointer) {
    const uint8_t payload[2] = {0xAA, 0xBB};
    const int allocations = sweep([&](bool) {
        uint8_t sentinel = 0;
        uint8_t *frame = &sentinel;
        const size_t len = twl_build_message(&frame, 0x42, payload, sizeof payload);
        if (fault::failure_delivered()) {
            EXPECT_EQ(len, 0u);
            EXPECT_EQ(frame, &sentinel);
        } else {
            EXPECT_EQ(len, 12u);
            std::free(frame);
        }
    });
    EXPECT_EQ(allocations, 1);
}

TEST(AllocFailure, PongGivesNullAndZero) {
    const int allocations = sweep([](bool) {
        size_t len = 77;
        uint8_t *frame = twl_build_pong(&len);
        if (fault::failure_delivered()) {
            EXPECT_EQ(frame, nullptr);
            EXPECT_EQ(len, 0u);
        } else {
            EXPECT_EQ(len, 10u);
            std::free(frame);
        }
    });
    EXPECT_EQ(allocations, 1);
}

}  // namespace
