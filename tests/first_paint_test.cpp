// The first data paint of a process, in per-second mode, and after help
// opened during the first sample.

#include "term.h"

#include <gtest/gtest.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

TEST(FirstPaint, PerSecondStartsAtZero) {
    open_screen(24, 80);
    load_table("     CPU0     CPU1     \n  1:  1  2  a b\n  2:  3  4  a b\n", false);
    if (getix(1) != 1) getix(0);
    mode = 1;
    // The scan is the only sample: per second has no interval, whatever
    // the counts.
    set_count(1, 0, 0, 1000000);
    irqtotals[1][0] = 1000000;
    first_sample();
    EXPECT_EQ(screen_line(2).substr(20, 36), "           0           0           0");
    EXPECT_EQ(screen_line(3).substr(20, 36), "           0           0           0");
}

// Help opened as the first sample is read waits for its answer once the
// sample is whole; the screen it goes back to counts since start, never
// since boot.
TEST(FirstPaint, HelpDuringTheFirstSampleShowsCountsSinceStart) {
    open_screen(24, 80);
    load_table("     CPU0     CPU1     \n  1:  1045  100  a b\n", false);
    read_input_active = 1;
    repaint_screen(0);
    push_keys("h"); // the keys then come to their end: help closes
    read_input(getix(3));
    EXPECT_EQ(screen_line(2).substr(20, 36), "           0           0           0");
}

} // namespace
