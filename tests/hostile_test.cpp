// Tables no kernel should print, and tables that change under the monitor,
// each checked for what the screen then shows.

#include "scratch.h"
#include "term.h"

#include <cstring>
#include <curses.h>
#include <gtest/gtest.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

std::string field(long long v) {
    char b[32];
    std::snprintf(b, sizeof b, "%12lld", v);
    return b;
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        open_screen(24, 80);
        std::strcpy(kname.nodename, "host");
        mode = 0;
    }

    // Start-up as the program does it, then one cycle of the main loop.
    void start(const std::string &table, bool merge = false) {
        load_table(table, merge);
        brow = bcol = 0;
        scratch::start_sampler();
        cycle();
    }
    void cycle() {
        read_input(getix(0));
        repaint_screen(1);
    }
    // No line of the screen holds anything but printable text.
    void expect_clean_screen() {
        for (int y = 0; y < LINES; ++y)
            for (char c : screen_line(y))
                ASSERT_TRUE(c >= ' ' && c <= '~') << "line " << y << ": " << screen_line(y);
    }
};

TEST_F(Hostile, EmptyTableAndHeaderOnly) {
    start("");
    EXPECT_EQ(screen_line(1), std::string(25, ' ') + "*TOTAL*" + std::string(48, ' '));
    EXPECT_EQ(prow, 2);
    EXPECT_EQ(screen_line(2).substr(0, 37), "(h)elp, (t)oggle-screens, arrows, etc");
    EXPECT_EQ(screen_line(3), std::string(80, ' '));
    for (const char *header : {"      CPU0       CPU1       \n", "      CPU0       CPU1"}) {
        start(header);
        EXPECT_EQ(screen_line(1),
                  std::string(25, ' ') + "*TOTAL*        cpu0        cpu1" + std::string(24, ' '));
        EXPECT_EQ(prow, 2);
    }
}

TEST_F(Hostile, ControlBytesNeverReachTheScreen) {
    std::string t = "      CPU0       CPU1       \n";
    t += "  1:          5          6   dev x";
    t += '\0';
    t += "hidden\n";
    t += "  2:    \t7    \t8   chip\tname  here\r\n";
    t += "  3:          1          2   chip \x1b[2Jbell\a\x9b\xc3\xa9t\xe9\n";
    t += "        \n";
    t += std::string(1, '\0') + "  4: 9 9 a b\n";
    start(t);
    ASSERT_EQ(numirqs, 5);
    mode = 2;
    repaint_screen(1);
    expect_clean_screen();
    EXPECT_EQ(screen_line(2),
              "1:x                 " + field(11) + field(5) + field(6) + std::string(24, ' '));
    // A tab starting a field is a blank to strtol; one inside a word is part of it.
    EXPECT_EQ(screen_line(3).substr(0, 56),
              "2:here              " + field(15) + field(7) + field(8));
    EXPECT_EQ(screen_line(4).substr(0, 20), "3: [2Jbell ???t?    ");
    EXPECT_EQ(screen_line(5).substr(0, 32), std::string(20, ' ') + field(0));
    EXPECT_EQ(screen_line(6).substr(0, 32), std::string(20, ' ') + field(0));
}

TEST_F(Hostile, OddCountsShowAsStrtolReadsThem) {
    start("      CPU0       CPU1       CPU2       \n"
          "  1:         -5        +17        abc  x y\n"
          "  2: 1234567890123456789012345          1          1  x y\n"
          "  3:        12x         -0   99999999999  x y\n");
    mode = 2;
    repaint_screen(1);
    expect_clean_screen();
    EXPECT_EQ(screen_line(2).substr(20, 48), field(12) + field(-5) + field(17) + field(0));
    // The largest count, 19 digits, pushes the row right, a blank before it;
    // the field that would pass the edge is left out whole.
    const std::string top = " 9223372036854775807";
    EXPECT_EQ(screen_line(3).substr(20), top + top + field(1) + std::string(8, ' '));
    EXPECT_EQ(screen_line(4).substr(0, 3), "3:y");
    EXPECT_EQ(screen_line(4).substr(20, 49),
              " 100000000011" + field(12) + field(0) + field(99999999999));
}

TEST_F(Hostile, HugeLineAndHugeTable) {
    // A 1 MB line arrives as pieces of the line buffer, each a row of its own.
    std::string wide = "      CPU0       CPU1       \n  1:";
    while (wide.size() < 1000000)
        wide += "          7";
    start(wide + "\n  2:          1          2  x y\n");
    EXPECT_EQ(numirqs, 12);
    EXPECT_EQ(screen_line(2).substr(0, 2), "1:");
    expect_clean_screen();

    std::string tall = "      CPU0       CPU1       \n";
    for (int i = 0; i < 100000; ++i)
        tall += std::to_string(i) + ":          1          2   chip dev\n";
    start(tall);
    EXPECT_EQ(numirqs, 100000);
    push_keys("\033[F");
    get_input();
    EXPECT_EQ(brow, 100000 - 21);
    EXPECT_EQ(screen_line(22).substr(0, 8), "99999:de");
}

TEST_F(Hostile, LabelsThatNeverRepeatGrowTheTableToABound) {
    start("      CPU0       CPU1       \n  1:          1          2  x y\n");
    // Every pass brings lines never seen: the table may grow four times over,
    // or to 65,536 rows, and no further; what the rows show stays right.
    std::string t = "      CPU0       CPU1       \n";
    for (int i = 0; i < 70000; ++i)
        t += "n" + std::to_string(i) + ":          5          6  x y\n";
    set_table(t);
    cycle();
    EXPECT_EQ(numirqs, 65536);
    EXPECT_EQ(irqnames[65535].substr(0, 7), "n65534:");
    set_table(t);
    cycle();
    EXPECT_EQ(numirqs, 65536);
    mode = 0;
    brow = 65535;
    repaint_screen(1);
    EXPECT_EQ(screen_line(2).substr(0, 32), "n65534:y            " + field(0));
}

TEST_F(Hostile, AGrowingTableKeepsEveryCpuWithinABound) {
    // A virtual machine scaled up: 5,000 sources on 64 CPUs, all but ten
    // counting on CPU0 alone, then 1,024 CPUs online, then new lines.
    auto table = [](int cpus, unsigned base, int lines, const std::string &wide = "") {
        std::string t;
        for (int c = 0; c < cpus; ++c)
            t += " CPU" + std::to_string(c);
        for (int i = 0; i < lines; ++i) {
            t += "\n" + (wide.empty() ? "L" : "W" + std::to_string(wide.size()) + "_") +
                 std::to_string(i) + ":";
            const bool all = i < 10 || i >= 5000;
            for (int c = 0; c < (all ? cpus : 1) && wide.empty(); ++c)
                t += " " + std::to_string(base + i + c);
            t += wide.empty() ? all ? "  IR-PCI-MSI 1-edge      new" : "" : wide;
        }
        return t + "\n";
    };
    start(table(64, 1000, 5000));
    set_table(table(1024, 2000, 5000));
    cycle();
    ASSERT_EQ(numcpus, 1024);
    for (int r = 0; r < 10; ++r)
        for (int c = 0; c < numcpus; ++c) {
            ASSERT_EQ(count_at(getix(1), r, c), 2000 + r + c) << r << ", CPU" << c;
            ASSERT_EQ(shown_count(getix(1), 2, r, c), c < 64 ? 1000 : 0) << r << ", CPU" << c;
        }
    set_table(table(1024, 3000, 5010));
    cycle();
    ASSERT_EQ(numirqs, 5010);
    EXPECT_EQ(irqnames[5009], "L5009:1-edge      ne");
    EXPECT_EQ(count_at(getix(1), 5009, 1023), 3000 + 5009 + 1023);
    // Then lines whose labels never repeat, each counting on most CPUs: the
    // table grows to a bound, and no further.
    std::string ones;
    for (int c = 0; c < 600; ++c)
        ones += " 1";
    set_table(table(1024, 0, 5000, ones));
    cycle();
    EXPECT_GT(numirqs, 5010 + 1000);
    EXPECT_LT(numirqs, 5010 + 5000);
    const int rows = numirqs;
    set_table(table(1024, 0, 5000, ones + " "));
    cycle();
    EXPECT_EQ(numirqs, rows);
}

TEST_F(Hostile, TableShrinksToNothingAndComesBack) {
    const std::string table = "      CPU0       CPU1       \n"
                              "  1:        100        200  x y\n"
                              "  2:         10         20  x y\n";
    start(table);
    auto bump = [&](int by) {
        return "      CPU0       CPU1       \n  1:        " + std::to_string(100 + by) +
               "        200  x y\n  2:         10         " + std::to_string(20 + by) + "  x y\n";
    };
    set_table(bump(5));
    cycle();
    set_table("");
    cycle();
    cycle();
    // Nothing was read: no news is no change, in every mode.
    for (int m : {0, 1, 2}) {
        mode = m;
        repaint_screen(1);
        const long long d = m == 0 ? 5 : 0;
        EXPECT_EQ(screen_line(2).substr(20, 36),
                  m == 2 ? field(305) + field(105) + field(200) : field(d) + field(d) + field(0))
            << "mode " << m;
        EXPECT_EQ(screen_line(3).substr(20, 36),
                  m == 2 ? field(35) + field(10) + field(25) : field(d) + field(0) + field(d))
            << "mode " << m;
    }
    set_table(bump(9));
    cycle();
    mode = 0;
    repaint_screen(1);
    EXPECT_EQ(screen_line(2).substr(20, 36), field(9) + field(9) + field(0));
}

TEST_F(Hostile, CpuColumnsComeAndGo) {
    start("      CPU0       CPU1       CPU2       \n"
          "  1:          1          2          3  x y\n");
    // A CPU goes offline: its column is gone from every line. A line new
    // then is named from the text after its two counts.
    set_table("      CPU0       CPU1       \n  1:          4          5  x y\n"
              "  2:          1          1  chip 1-edge dev\n");
    cycle();
    cycle();
    EXPECT_EQ(irqnames[1], "2:1-edge dev");
    mode = 1;
    repaint_screen(1);
    EXPECT_EQ(screen_line(2).substr(20, 48), field(0) + field(0) + field(0) + field(0));
    mode = 0;
    repaint_screen(1);
    EXPECT_EQ(screen_line(2).substr(20, 48), field(6) + field(3) + field(3) + field(0));
    // A CPU comes online: it gets a column of its own.
    set_table("      CPU0       CPU1       CPU2       CPU3       \n"
              "  1:          7          8          9         10  x y\n");
    cycle();
    mode = 2;
    repaint_screen(0);
    EXPECT_EQ(screen_line(1).substr(32), "        cpu0        cpu1        cpu2        cpu3");
    EXPECT_EQ(screen_line(2).substr(20), field(34) + field(7) + field(8) + field(9) + field(10));
    // CPU1 goes offline: CPU2's count stays under cpu2, cpu1 shows no change.
    set_table("      CPU0       CPU2       \n  1:         11         13  x y\n");
    cycle();
    repaint_screen(1);
    EXPECT_EQ(screen_line(1).substr(32, 36), "        cpu0        cpu1        cpu2");
    EXPECT_EQ(screen_line(2).substr(20, 48), field(42) + field(11) + field(8) + field(13));
    expect_clean_screen();
}

TEST_F(Hostile, AnOfflineCpuKeepsItsColumnWhenAnotherComesBeforeIt) {
    start("      CPU0       CPU2       CPU3       \n  1:          1          2          3  x y\n");
    const std::string cpu2_offline = "      CPU0       CPU3       \n";
    set_table(cpu2_offline + "  1:          4          6  x y\n");
    cycle();
    // CPU1 comes online: cpu3's column moves one to the right.
    set_table("      CPU0       CPU1       CPU2       CPU3       \n"
              "  1:          5          1          7          8  x y\n");
    cycle();
    // The same header as before, over other columns: CPU3 still counts under cpu3.
    set_table(cpu2_offline + "  1:          9         10  x y\n");
    cycle();
    mode = 2;
    repaint_screen(0);
    EXPECT_EQ(screen_line(2).substr(20), field(27) + field(9) + field(1) + field(7) + field(10));
}

} // namespace
