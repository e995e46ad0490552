// The sampler: counts and totals read into a slot through the line map.

#include "term.h"

#include <climits>
#include <cstring>
#include <curses.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t bottom = std::numeric_limits<std::int64_t>::min();

std::vector<std::int64_t> counts(int slot, int row) {
    return std::vector<std::int64_t>(row_counts(slot, row), row_counts(slot, row) + numcpus);
}

class Sampling : public ::testing::Test {
  protected:
    void SetUp() override { open_screen(24, 80); }
};

TEST_F(Sampling, RealTableRowsAndMergedRows) {
    load_table(fixture("interrupts-8cpu-x86_64.txt"));
    read_input(1);
    // " 1: 10 11 7 5 2 7 2 1"
    EXPECT_EQ(counts(1, 1), (std::vector<std::int64_t>{10, 11, 7, 5, 2, 7, 2, 1}));
    EXPECT_EQ(irqtotals[1][1], 45);
    // dmar0 (all 0) and dmar1 (all 0) merge; the LOC row is read in full.
    int loc = 0;
    while (irqnames[loc] != "LOC:timer interrupts")
        ++loc;
    EXPECT_EQ(counts(1, loc), (std::vector<std::int64_t>{18017794, 5791007, 18785621, 5656822,
                                                         18296406, 5364275, 18002503, 5946670}));
    EXPECT_EQ(irqtotals[1][loc], 95861098);
    EXPECT_EQ(read_input_active, 0);
    // The other slots are untouched.
    EXPECT_EQ(irqtotals[0][loc], 0);
    EXPECT_EQ(irqtotals[2][loc], 0);
}

TEST_F(Sampling, MergedRowSumsItsLinesAndStartsAfreshEachPass) {
    const std::string header = "       CPU0       CPU1       CPU2       \n";
    auto table = [&](int a) {
        return header + " 24:   " + std::to_string(a) + "   2   3  DMAR-MSI 0-edge dmar0\n" +
               " 30:   7   7   7  PCI 9-edge other\n" +
               " 25:   10  20  30  DMAR-MSI 1-edge dmar1\n" +
               " 26:   100 200 300  DMAR-MSI 2-edge dmar2\n";
    };
    load_table(table(1));
    ASSERT_EQ(numirqs, 2);
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{111, 222, 333}));
    EXPECT_EQ(irqtotals[0][0], 666);
    EXPECT_EQ(irqtotals[0][1], 21);
    set_table(table(5));
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{115, 222, 333}));
    EXPECT_EQ(irqtotals[0][0], 670);
}

TEST_F(Sampling, ShortLinesTouchOnlyTheirLeadingColumns) {
    load_table(fixture("interrupts-4cpu-x86_64-procfs.txt"), false);
    read_input(2);
    int err = 0;
    while (irqnames[err] != "ERR:")
        ++err;
    EXPECT_EQ(counts(2, err), (std::vector<std::int64_t>{0, 0, 0, 0}));
    // The unpadded header still gives the fourth CPU its counts.
    EXPECT_EQ(counts(2, 0), (std::vector<std::int64_t>{49, 0, 0, 0}));
    EXPECT_EQ(counts(2, 2), (std::vector<std::int64_t>{0, 1443, 0, 0}));
    load_table("   CPU0   CPU1   CPU2   \n"
               "ERR:   4\n"
               "MIS:   5   6\n");
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{4, 0, 0}));
    EXPECT_EQ(counts(0, 1), (std::vector<std::int64_t>{5, 6, 0}));
    EXPECT_EQ(irqtotals[0][1], 11);
}

TEST_F(Sampling, GluedLabelGivesTheFirstColumn) {
    load_table(fixture("interrupts-8cpu-aarch64.txt"));
    read_input(1);
    int ipi0 = 0;
    while (irqnames[ipi0] != "IPI0:interrupts")
        ++ipi0;
    EXPECT_EQ(counts(1, ipi0),
              (std::vector<std::int64_t>{2768808080, 2844211768, 2878602432, 2730576120, 2723524623,
                                         3349096412, 2717389879, 2154252810}));
    EXPECT_EQ(irqtotals[1][ipi0], 22166462124);
    EXPECT_EQ(counts(1, ipi0 + 1)[0], 357815098); // IPI1, label followed by a blank
    EXPECT_EQ(counts(1, 0)[7], 3225020442);       // a count that fills its field
}

TEST_F(Sampling, OverLongLinePiecesReadAlike) {
    std::string longline = "  3:";
    for (int i = 0; longline.size() < 98403 + 30; ++i)
        longline += "          " + std::to_string(i % 10);
    // The second piece starts inside the line; its label is whatever text is there.
    load_table("     CPU0     CPU1     \n" + longline + "\n  4:  5  6  c d\n", false);
    ASSERT_EQ(numirqs, 3);
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{0, 1}));
    const char *piece = longline.c_str() + 98403;
    const char *end;
    std::int64_t second = parse_count(skip_blanks(std::strchr(skip_blanks(piece), ' ')), &end);
    EXPECT_EQ(counts(0, 1)[0], second);
    EXPECT_EQ(counts(0, 2), (std::vector<std::int64_t>{5, 6}));
}

TEST_F(Sampling, LinesAddedOrRemovedAfterStartUp) {
    const std::string header = "     CPU0     CPU1     \n";
    load_table(header + "  1:  1  2  a b\n  2:  3  4  a c\n");
    read_input(1);
    // More lines than the scan saw, and far more than the map has room for.
    std::string grown = header + "  1:  1  2  a b\n  2:  3  4  a c\n";
    for (int i = 0; i < 2500; ++i)
        grown += "  9:  9  9  x y\n";
    set_table(grown);
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(counts(0, 1), (std::vector<std::int64_t>{3, 4}));
    // A removed line: the next one feeds the row of the line that stood
    // there, and the last row, fed by nothing, keeps the previous sample.
    set_table(header + "  2:  30  40  a c\n");
    read_input(1);
    EXPECT_EQ(counts(1, 0), (std::vector<std::int64_t>{30, 40}));
    EXPECT_EQ(counts(1, 1), (std::vector<std::int64_t>{3, 4}));
    EXPECT_EQ(irqtotals[1][1], 7);
    // Gaining CPU columns: only the columns of the start-up header are read.
    set_table("     CPU0     CPU1     CPU2     \n  1:  1  2  3  a b\n");
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(irqtotals[0][0], 3);
}

TEST_F(Sampling, CountsAndTotalsSaturate) {
    load_table("     CPU0     CPU1     CPU2     \n"
               "  1:  9223372036854775807  1  1  a b\n"
               "  2:  -9223372036854775808  -1  0  a b\n"
               "  3:  1234567890123456789012345  -99999999999999999999999  +12  a b\n"
               "  4:  12abc  -  x  a b\n");
    read_input(0);
    EXPECT_EQ(counts(0, 0), (std::vector<std::int64_t>{top, 1, 1}));
    EXPECT_EQ(irqtotals[0][0], top);
    EXPECT_EQ(counts(0, 1), (std::vector<std::int64_t>{bottom, -1, 0}));
    EXPECT_EQ(irqtotals[0][1], bottom);
    EXPECT_EQ(counts(0, 2), (std::vector<std::int64_t>{top, bottom, 12}));
    EXPECT_EQ(irqtotals[0][2], -1 + 12);
    EXPECT_EQ(counts(0, 3), (std::vector<std::int64_t>{12, 0, 0}));
}

TEST_F(Sampling, FieldsParseAsStrtolReadsThem) {
    const char *fields[] = {"0",
                            "42 ",
                            "+7",
                            "-7",
                            "\t\t13",
                            "\v 5",
                            "x1",
                            "-",
                            "+",
                            "- 3",
                            "007",
                            "",
                            "9223372036854775807",
                            "9223372036854775808",
                            "-9223372036854775808",
                            "-9223372036854775809",
                            "99999999999999999999999999"};
    for (const char *f : fields) {
        const char *end;
        char *want_end;
        long want = std::strtol(f, &want_end, 10);
        EXPECT_EQ(parse_count(f, &end), want) << '"' << f << '"';
        EXPECT_EQ(end, want_end) << '"' << f << '"';
    }
}

TEST_F(Sampling, KeysAreLookedForAsThePassStartsNotBeforeEveryLine) {
    std::string table = "     CPU0     CPU1     \n";
    for (int i = 0; i < 2000; ++i)
        table += " " + std::to_string(i) + ":  1  2  chip dev\n";
    load_table(table);
    push_keys(std::string(100, 't'));
    read_input(0);
    int left = 0;
    while (wgetch(stdscr) != ERR)
        ++left;
    // One look as the pass starts, then one a millisecond: far fewer than
    // one per line, which would take every key.
    EXPECT_LT(left, 100);
    EXPECT_GT(left, 0);
}

TEST_F(Sampling, KeyTypedDuringAPassIsAnsweredWithinIt) {
    const int keyboard = open_screen_with_keyboard(24, 80);
    const std::string table = fixture("interrupts-8cpu-x86_64.txt");
    load_table(table);
    // The table comes through a pipe: the pass looks at the keyboard, then
    // waits for the table while a key is typed and well over the interval
    // between looks goes by.
    int kernel[2];
    ASSERT_EQ(pipe(kernel), 0);
    FILE *file = fdinp;
    fdinp = fdopen(kernel[0], "r");
    std::thread typist([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(write(keyboard, "t", 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(write(kernel[1], table.data(), table.size()), static_cast<ssize_t>(table.size()));
        close(kernel[1]);
    });
    mode = 0;
    read_input(0);
    typist.join();
    std::fclose(fdinp);
    fdinp = file;
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(irqtotals[0][1], 45); // and the pass read the table
}

TEST_F(Sampling, RefreshMarkShowsDuringThePassOnly) {
    load_table(fixture("interrupts-8cpu-x86_64.txt"));
    prow = 23;
    read_input(0);
    // The mark reached the terminal at the first poll and is gone from the screen after.
    EXPECT_NE(terminal_output().find("refresh active"), std::string::npos);
    EXPECT_EQ(screen_line(23).find("refresh active"), std::string::npos);
    EXPECT_EQ(read_input_active, 0);
}

} // namespace
