// Painting on a real curses screen, read back from the virtual screen.

#include "term.h"

#include <cctype>
#include <cstring>
#include <curses.h>
#include <gtest/gtest.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();

// A table of `rows` rows named r0, r1 ... over `cpus` CPUs; the slots are
// then filled by hand.
void make_table(int rows, int cpus) {
    std::string t;
    for (int c = 0; c < cpus; ++c)
        t += "     CPU" + std::to_string(c);
    t += "     \n";
    for (int r = 0; r < rows; ++r)
        t += "r" + std::to_string(r) + ":\n";
    load_table(t, false);
    brow = bcol = 0;
    read_input_active = 0;
    std::strcpy(kname.nodename, "testhost");
}

// Slot 0 newest, slot 1 the sample before, slot 2 the baseline.
void set_value(int row, int col, std::int64_t s0, std::int64_t s1, std::int64_t s2) {
    std::int64_t v[3] = {s0, s1, s2};
    for (int s = 0; s < 3; ++s) {
        if (col < 0)
            irqtotals[s][row] = v[s];
        else
            set_count(s, row, col, v[s]);
    }
}

std::string field(std::int64_t v) {
    char b[32];
    std::snprintf(b, sizeof b, "%12lld", static_cast<long long>(v));
    return b;
}

// The 24 characters ctime gives: "Tue Dec  8 03:47:42 2026".
bool looks_like_clock(const std::string &s) {
    const char *shape = "Aaa Aaa _9 99:99:99 9999";
    if (s.size() != 24) return false;
    for (int i = 0; i < 24; ++i) {
        char c = s[i], k = shape[i];
        bool ok = k == 'A'   ? std::isupper(c)
                  : k == 'a' ? std::islower(c)
                  : k == '9' ? std::isdigit(c)
                  : k == '_' ? c == ' ' || std::isdigit(c)
                             : c == k;
        if (!ok) return false;
    }
    return true;
}

bool attr_at(int y, int x, attr_t a) {
    return (mvwinch(stdscr, y, x) & a) != 0;
}

class Paint : public ::testing::Test {
  protected:
    void SetUp() override {
        open_screen(24, 80);
        mode = 0;
        getix(0); // newest is slot 0
        ASSERT_EQ(getix(1), 0);
    }
};

TEST_F(Paint, EightyByTwentyFourPicture) {
    make_table(30, 8);
    for (int r = 0; r < 30; ++r) {
        set_value(r, -1, 1000 + r, 500, 900);
        for (int c = 0; c < 8; ++c)
            set_value(r, c, 100 * c + r + 50, 10, 50);
    }
    repaint_screen(0);

    std::string l0 = screen_line(0);
    EXPECT_EQ(l0.substr(0, 47), "testhost   TOTAL INTERRUPTS SINCE COMMAND START");
    EXPECT_TRUE(looks_like_clock(l0.substr(56))) << l0;
    EXPECT_TRUE(attr_at(0, 0, A_BOLD));
    EXPECT_TRUE(attr_at(0, 79, A_BOLD));
    EXPECT_EQ(screen_line(1), std::string(20, ' ') +
                                  "     *TOTAL*        cpu0        cpu1        cpu2        cpu3");
    EXPECT_TRUE(attr_at(1, 25, A_BOLD));
    EXPECT_TRUE(attr_at(1, 79, A_BOLD));
    EXPECT_FALSE(attr_at(2, 0, A_BOLD));

    // Mode 0: newest minus the baseline.
    EXPECT_EQ(screen_line(2), "r0:                 " + field(100) + field(0) + field(100) +
                                  field(200) + field(300));
    EXPECT_EQ(screen_line(22).substr(0, 32), "r20:                " + field(120));
    EXPECT_EQ(screen_line(23), "(h)elp, (t)oggle-screens, arrows, etc" + std::string(43, ' '));
    EXPECT_TRUE(attr_at(23, 0, A_REVERSE));
    EXPECT_TRUE(attr_at(23, 36, A_REVERSE));
    EXPECT_FALSE(attr_at(23, 37, A_REVERSE));

    // Mode 2: the newest sample as read; mode 1 on a later paint divides by the interval.
    mode = 2;
    repaint_screen(0);
    EXPECT_EQ(screen_line(3).substr(20),
              field(1001) + field(51) + field(151) + field(251) + field(351));
}

// A number is never cut or run into its neighbour: one of 12 characters or
// more gets a blank before it and pushes the row right, and a field that would
// pass the edge is left out whole.
TEST_F(Paint, WideNumbersAreNeverCutNorRunTogether) {
    make_table(4, 8);
    set_value(0, 3, 1234567890123, 0, 0);
    set_value(0, -1, 3268308804, 0, 0);
    set_value(1, -1, top, 0, 0);
    set_value(2, 0, 100000000000, 0, 0);
    set_value(2, 1, 99999999999, 0, 0);
    mode = 2;
    repaint_screen(0);
    EXPECT_EQ(screen_line(2).substr(20),
              field(3268308804) + field(0) + field(0) + field(0) + std::string(12, ' '));
    EXPECT_EQ(screen_line(3).substr(20),
              " 9223372036854775807" + field(0) + field(0) + field(0) + std::string(4, ' '));
    EXPECT_EQ(screen_line(4).substr(20, 37), field(0) + " 100000000000" + field(99999999999));
    resize(24, 82); // room for the 13 digits and their blank
    repaint_screen(0);
    EXPECT_EQ(screen_line(2).substr(56), field(0) + " 1234567890123");
    // The numbers shrink again: nothing of the wider row is left behind.
    set_value(0, 3, 5, 0, 0);
    repaint_screen(0);
    EXPECT_EQ(screen_line(2).substr(56), field(0) + field(5) + "  ");
}

TEST_F(Paint, NothingBelowZeroAndTheSampleMark) {
    make_table(2, 4);
    // Counts past the 64-bit range stop at its limits; what came in between
    // then cannot be told, but it is never shown as less than nothing.
    set_value(0, 0, std::numeric_limits<std::int64_t>::min(), 0, top);
    set_value(0, -1, 10, 0, 25);
    read_input_active = 1;
    repaint_screen(0);
    // While a sample runs the numbers stay off and the mark is on the prompt line.
    EXPECT_EQ(screen_line(2).substr(20), std::string(60, ' '));
    EXPECT_EQ(screen_line(prow).substr(40, 14), "refresh active");
    read_input_active = 0;
    repaint_screen(0);
    EXPECT_EQ(screen_line(2).substr(20, 24), field(0) + field(0));
}

TEST_F(Paint, ShortListBlanksTheLinesBelowIt) {
    make_table(5, 4);
    repaint_screen(0);
    for (int y = 0; y < 24; ++y)
        mvwaddstr(stdscr, y, 0, "garbage garbage garbage");
    repaint_screen(1);
    EXPECT_EQ(prow, 7);
    EXPECT_EQ(screen_line(6).substr(0, 20), "r4:                 ");
    EXPECT_EQ(screen_line(7).substr(0, 37), "(h)elp, (t)oggle-screens, arrows, etc");
    for (int y = 8; y < 23; ++y)
        EXPECT_EQ(screen_line(y), std::string(80, ' ')) << y;
}

TEST_F(Paint, NarrowTerminalShowsNoCpuColumn) {
    make_table(3, 8);
    set_value(0, -1, 42, 0, 0);
    mode = 2;
    resize(24, 43);
    repaint_screen(0);
    EXPECT_EQ(screen_line(1), std::string(25, ' ') + "*TOTAL*" + std::string(11, ' '));
    EXPECT_EQ(screen_line(2), "r0:                 " + field(42) + std::string(11, ' '));
}

// The title line reads whole, the clock one blank after it where the title
// reaches the clock's own column (the end of the last CPU field shown), and
// at that column otherwise; on a narrow screen the clock is cut, not the title.
TEST_F(Paint, ClockFollowsTheColumnsShownButNeverCoversTheTitle) {
    for (const char *host : {"vm", "dbserver01.prod.dc1.example.com"})
        for (int cpus : {0, 1, 2, 4})
            for (int m : {0, 1, 2})
                for (int cols : {80, 60, 40}) {
                    make_table(3, cpus);
                    std::strcpy(kname.nodename, host);
                    resize(24, cols);
                    mode = m;
                    update_header = 1;
                    repaint_screen(1);
                    const std::string text = std::string(host) + "   " + title[m];
                    const int shown = ecol - bcol, fits = (cols - 32) / 12;
                    ASSERT_EQ(shown, std::min(cpus, fits));
                    const int end = 12 * shown + 8;
                    const std::size_t at =
                        text.size() >= static_cast<std::size_t>(end) ? text.size() + 1 : end;
                    const std::string line = screen_line(0);
                    SCOPED_TRACE(line);
                    EXPECT_EQ(line.substr(0, text.size()), text.substr(0, cols));
                    if (at >= static_cast<std::size_t>(cols)) continue;
                    EXPECT_EQ(line.substr(text.size(), at - text.size()),
                              std::string(at - text.size(), ' '));
                    // Cut at the edge, what shows is the clock's start: the shape
                    // is checked place by place, so any clock completes it.
                    const std::string clock = line.substr(at, 24);
                    EXPECT_TRUE(looks_like_clock(
                        clock + std::string("Wed Dec  9 03:49:01 2026").substr(clock.size())));
                    EXPECT_TRUE(attr_at(0, static_cast<int>(at), A_BOLD));
                }
}

TEST_F(Paint, OfflineCpusHeadTheirColumns) {
    load_table("     CPU0     CPU1     CPU5     CPU7     \n  1:  1  2  3  4  a b\n", false);
    std::strcpy(kname.nodename, "h");
    read_input_active = 0;
    repaint_screen(1);
    EXPECT_EQ(screen_line(1).substr(32), "        cpu0        cpu1        cpu5        cpu7");
}

TEST_F(Paint, AnySizePaintsWithoutWrapping) {
    make_table(40, 300);
    std::strcpy(kname.nodename, "a-rather-long-host-name.example");
    for (int r = 0; r < 40; ++r)
        for (int c = -1; c < 300; ++c)
            set_value(r, c, 1234567890123456, 0, 0);
    mode = 2;
    for (int lines : {1, 2, 3, 4, 5, 24, 60})
        for (int cols : {1, 5, 19, 20, 21, 31, 32, 43, 44, 53, 54, 80, 81, 500, 3000}) {
            resize(lines, cols);
            for (int code : std::initializer_list<int>{0, 'B', 'C', 'F', 'D', 'A'}) {
                repaint_screen(code);
                SCOPED_TRACE(::testing::Message() << lines << "x" << cols << " code " << code);
                // Every row line starts with its own name: nothing wrapped onto it.
                for (int y = 2; y < prow && y < LINES; ++y) {
                    std::string name = "r" + std::to_string(brow + y - 2) + ":";
                    EXPECT_EQ(screen_line(y).substr(0, name.size()), name.substr(0, cols));
                }
                if (prow < LINES && cols >= 37) {
                    EXPECT_EQ(screen_line(prow).substr(0, 7), "(h)elp,");
                }
                if (lines > 1) {
                    EXPECT_EQ(screen_line(1).substr(0, std::min(cols, 20)),
                              std::string(std::min(cols, 20), ' '));
                }
            }
        }
}

TEST_F(Paint, PerSecondIsOverEachRowsOwnInterval) {
    make_table(2, 4);
    const int cur = getix(1), ref = cur ^ 1;
    for (int s = 0; s < 3; ++s)
        for (int r = 0; r < 2; ++r) {
            set_count(s, r, 0, s == cur ? 2500 : 1000);
            set_count(s, r, 1, s == cur ? 750 : 300);
            irqtotals[s][r] = s == cur ? 3250 : 1300;
        }
    // Row 0's lines were read 1.5 s apart, row 1's 2 s, however long ago and
    // whatever was painted since.
    rowtime[ref] = {7000000000, 7000000000};
    rowtime[cur] = {8500000000, 9000000000};
    mode = 1;
    const std::string want[] = {field(1300) + field(1000) + field(300) + field(0),
                                field(975) + field(750) + field(225) + field(0)};
    for (const char *keys : {"", "\x0c", "6", "\033[A"}) {
        if (*keys) {
            push_keys(keys);
            get_input();
        }
        repaint_screen(0);
        for (int r = 0; r < 2; ++r)
            EXPECT_EQ(screen_line(2 + r).substr(20, 48), want[r])
                << "row " << r << " after " << (*keys ? keys + 1 : "none");
    }
}

TEST(Rate, RoundsAndStaysInRange) {
    EXPECT_EQ(rate(5, 2.0), 3);     // 2.5 rounds up
    EXPECT_EQ(rate(-37, 10.0), -3); // -3.7 + 0.5 truncates toward zero
    EXPECT_EQ(rate(24, 10.0), 2);
    EXPECT_EQ(rate(100, 1e12), 0);
    EXPECT_EQ(rate(10, 0.0), 0); // no reference sample
    EXPECT_EQ(rate(10, -3.0), 0);
    EXPECT_EQ(rate(top, 1e-6), top);
    EXPECT_EQ(rate(std::numeric_limits<std::int64_t>::min(), 1e-6),
              std::numeric_limits<std::int64_t>::min());
}

} // namespace
