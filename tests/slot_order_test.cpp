// The slot chooser, from the state a fresh process starts in.

#include "term.h"

#include <gtest/gtest.h>

using namespace kevrane;

namespace {

TEST(SlotOrder, StartUpSlotsThenAlternating) {
    EXPECT_EQ(getix(3), 1);
    EXPECT_EQ(getix(4), 2);
    EXPECT_EQ(getix(1), 1); // the start-up sample in slot 1 is the newest
    EXPECT_EQ(getix(0), 0);
    EXPECT_EQ(getix(1), 0);
    EXPECT_EQ(getix(0), 1);
    EXPECT_EQ(getix(0), 0);
    EXPECT_EQ(getix(0), 1);
}

TEST(SlotOrder, ReferenceSlotFollowsTheMode) {
    for (int flips = 0; flips < 2; ++flips) {
        const int newest = getix(1);
        mode = 0;
        EXPECT_EQ(getix(2), 2);
        mode = 1;
        EXPECT_EQ(getix(2), 1 - newest);
        EXPECT_EQ(getix(1), newest); // asking does not flip
        mode = 2;
        EXPECT_EQ(getix(2), -1);
        getix(0);
    }
}

TEST(SlotOrderDeathTest, UnknownSelectorAborts) {
    EXPECT_DEATH(getix(5), "");
    EXPECT_DEATH(getix(-1), "");
}

} // namespace
