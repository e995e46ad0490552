// The view window on a real curses screen: paging, columns, sizes and bells.

#include "term.h"

#include <curses.h>
#include <gtest/gtest.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

struct step {
    int lines, cols, code;
    int brow, erow, bcol, ecol, prow, datacols;
};

// Runs the steps in order on one screen with the given table shape.
void run_steps(int rows, int cpus, std::initializer_list<step> steps) {
    numirqs = rows;
    numcpus = cpus;
    brow = bcol = 0;
    int n = 0;
    for (const step &s : steps) {
        if (s.lines != LINES || s.cols != COLS) resize(s.lines, s.cols);
        int before = bells();
        resize_screen(s.code);
        SCOPED_TRACE(::testing::Message() << "step " << n++ << " code " << s.code);
        EXPECT_EQ(brow, s.brow);
        EXPECT_EQ(erow, s.erow);
        EXPECT_EQ(bcol, s.bcol);
        EXPECT_EQ(ecol, s.ecol);
        EXPECT_EQ(prow, s.prow);
        EXPECT_EQ(datacols, s.datacols);
        EXPECT_EQ(bells() - before, 0);
    }
}

class Geometry : public ::testing::Test {
  protected:
    void SetUp() override { open_screen(24, 80); }
};

TEST_F(Geometry, WorkedWindows) {
    // 100 rows on 24 lines: a page is 21 rows.
    run_steps(100, 8,
              {
                  {24, 80, 1, 0, 21, 0, 4, 23, 4},
                  {24, 80, 'B', 21, 42, 0, 4, 23, 4},
                  {24, 80, 'B', 42, 63, 0, 4, 23, 4},
                  {24, 80, 'B', 63, 84, 0, 4, 23, 4},
                  {24, 80, 'B', 79, 100, 0, 4, 23, 4},
                  {24, 80, 'B', 79, 100, 0, 4, 23, 4},
                  {24, 80, 'F', 79, 100, 0, 4, 23, 4},
                  {24, 80, 'A', 58, 79, 0, 4, 23, 4},
                  {24, 80, 'H', 0, 21, 0, 4, 23, 4},
                  // 8 CPUs, four columns: right stops at 4, left returns to 0.
                  {24, 80, 'C', 0, 21, 4, 8, 23, 4},
                  {24, 80, 'C', 0, 21, 4, 8, 23, 4},
                  {24, 80, 'D', 0, 21, 0, 4, 23, 4},
                  // Growing keeps brow; the next page down goes to the last full page.
                  {24, 80, 'F', 79, 100, 0, 4, 23, 4},
                  {50, 80, 0, 79, 100, 0, 4, 23, 4},
                  {50, 80, 'B', 53, 100, 0, 4, 49, 4},
              });
    run_steps(100, 8, {{50, 80, 'F', 53, 100, 0, 4, 49, 4}});
    brow = 79;
    resize_screen('A');
    EXPECT_EQ(brow, 32);
}

TEST_F(Geometry, ShortListsAndWideTables) {
    run_steps(10, 10,
              {
                  {24, 80, 'B', 0, 10, 0, 4, 12, 4},
                  {24, 80, 'A', 0, 10, 0, 4, 12, 4},
                  {24, 80, 'F', 0, 10, 0, 4, 12, 4},
                  // 10 CPUs: 4, then 10 - 4, then no further.
                  {24, 80, 'C', 0, 10, 4, 8, 12, 4},
                  {24, 80, 'C', 0, 10, 6, 10, 12, 4},
                  {24, 80, 'C', 0, 10, 6, 10, 12, 4},
                  {24, 80, 'D', 0, 10, 2, 6, 12, 4},
                  // Narrower than 44 columns: no CPU column.
                  {24, 43, 'H', 0, 10, 0, 0, 12, 0},
                  {24, 43, 'C', 0, 10, 0, 0, 12, 0},
                  // Fewer than 32 columns or 3 lines: nothing fits and nothing moves.
                  {24, 20, 'D', 0, 10, 0, -1, 12, -1},
                  {2, 20, 'B', 0, 0, 0, -1, 2, -1},
                  {2, 20, 'A', 0, 0, 0, -1, 2, -1},
                  {1, 1, 'C', 0, 0, 0, -2, 2, -2},
              });
    run_steps(0, 0, {{24, 80, 'F', 0, 0, 0, 0, 2, 4}});
}

TEST_F(Geometry, UnknownCodeRingsOnceAndStillRecomputes) {
    run_steps(100, 8, {{24, 80, 1, 0, 21, 0, 4, 23, 4}});
    for (int code : std::initializer_list<int>{'5', -1, '~'}) {
        brow = 10;
        erow = 0;
        update_header = 0;
        int before = bells();
        resize_screen(code);
        EXPECT_EQ(bells() - before, 1) << code;
        EXPECT_EQ(brow, 10);
        EXPECT_EQ(erow, 31);
        EXPECT_EQ(update_header, 1);
    }
}

TEST_F(Geometry, PlainRepaintWithSameSizeChangesNothing) {
    run_steps(100, 8, {{24, 80, 1, 0, 21, 0, 4, 23, 4}});
    brow = 7;
    update_header = 0;
    resize_screen(0);
    EXPECT_EQ(erow, 21);
    EXPECT_EQ(update_header, 0);
    resize(30, 80);
    resize_screen(0);
    EXPECT_EQ(erow, 34);
    EXPECT_EQ(prow, 29);
    EXPECT_EQ(update_header, 1);
}

} // namespace
