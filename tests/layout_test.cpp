// The start-up scan: CPU count, rows, row names and the line map.

#include "term.h"

#include <gtest/gtest.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

std::string two_cpu_header = "           CPU0       CPU1       \n";

std::vector<std::string> names() {
    return std::vector<std::string>(irqnames.begin(), irqnames.begin() + numirqs);
}

TEST(Layout, WorkedNamesWithMergingOff) {
    struct {
        const char *line;
        const char *name;
    } cases[] = {
        {"  0:         36          0   IO-APIC    2-edge      timer\n", "0:2-edge      timer"},
        {" 9:          0          0   IO-APIC    9-fasteoi   acpi\n", "9:9-fasteoi   acpi"},
        {"NMI:          0          0   Non-maskable interrupts\n", "NMI:interrupts"},
        {"LOC:      12345      23456   Local timer interrupts\n", "LOC:timer interrupts"},
        {"HYP:          0          0   Hypervisor callback interrupts\n", "HYP:callback interru"},
        {"ERR:          0\n", "ERR:"},
        // Nothing after the last count: the label alone.
        {"MIS:          0          7\n", "MIS:"},
        // No word to drop: the description is all of it.
        {"PIN:          0          0   lonely\n", "PIN:lonely"},
    };
    std::string table = two_cpu_header;
    for (auto &c : cases)
        table += c.line;
    load_table(table, false);
    ASSERT_EQ(numcpus, 2);
    ASSERT_EQ(numirqs, static_cast<int>(std::size(cases)));
    for (int i = 0; i < numirqs; ++i) {
        EXPECT_EQ(irqnames[i], cases[i].name) << cases[i].line;
        EXPECT_EQ(map_line(i + 1).row, i);
        EXPECT_EQ(map_line(i + 1).member, -1);
    }
}

TEST(Layout, MergingFollowsTheFirstMatchingEntry) {
    load_table(two_cpu_header +
               "  0:         36          0   IO-APIC    2-edge      timer\n" // row 0, timer
               "  1:          1          0   IO-APIC    1-edge      i8042\n" // row 1
               " 24:          0          0   DMAR-MSI   0-edge      dmar0\n" // row 2, dmar
               // Both " dmar" and "  timer": the earlier entry, timer, wins.
               " 25:          5          0   DMAR-MSI   1-edge      dmar1  timer\n"
               "LOC:      12345      23456   Local timer interrupts\n" // one space: no match
               " 26:          0          2   DMAR-MSI   2-edge      dmar2\n");
    EXPECT_EQ(numirqs, 4);
    EXPECT_EQ(names(), (std::vector<std::string>{"XXX:timer", "1:1-edge      i8042", "XXX:dmar",
                                                 "LOC:timer interrupts"}));
    // Each line of a merged row keeps its own counts: it is one of the row's members.
    auto expect_map = [](int index, int row, int member) {
        EXPECT_EQ(map_line(index).row, row) << index;
        EXPECT_EQ(map_line(index).member, member) << index;
    };
    expect_map(1, 0, 0);
    expect_map(2, 1, -1);
    expect_map(3, 2, 1);
    expect_map(4, 0, 2);
    expect_map(5, 3, -1);
    expect_map(6, 2, 3);
    EXPECT_EQ(combine_desc[0].rownum, 1);
    EXPECT_EQ(combine_desc[4].rownum, 3);
    EXPECT_EQ(combine_desc[1].rownum, 0);
}

TEST(Layout, RealTablesWithAndWithoutMerging) {
    const std::string x86 = fixture("interrupts-8cpu-x86_64.txt");
    load_table(x86, false);
    EXPECT_EQ(numcpus, 8);
    EXPECT_EQ(numirqs, 38); // every data line its own row
    EXPECT_EQ(irqnames[0], "0:2-edge      timer");
    EXPECT_EQ(irqnames[5], "16:16-fasteoi   ehci");
    EXPECT_EQ(irqnames[8], "24:0-edge      dmar0");

    load_table(x86, true);
    EXPECT_EQ(numirqs, 37); // dmar0 and dmar1 share a row
    EXPECT_EQ(irqnames[0], "XXX:timer");
    EXPECT_EQ(irqnames[8], "XXX:dmar");
    EXPECT_EQ(irqnames[9], "27:512000-edge      ");
    EXPECT_EQ(map_line(10).member, 2); // after the timer line and dmar0
    EXPECT_EQ(map_line(10).row, 8);
    EXPECT_EQ(map_line(11).row, 9);
}

TEST(Layout, HeaderCountsEveryLabelPaddedOrNot) {
    struct {
        const char *header;
        int cpus;
    } cases[] = {
        {"           CPU0       CPU1       CPU2       CPU3       \n", 4}, // as the kernel pads it
        {"           CPU0       CPU1       CPU2       CPU3\n", 4},        // padding stripped
        {"           CPU0       CPU1       CPU2       CPU3       ", 4},   // no line end at all
        {"           CPU0       CPU1       CPU2       CPU3\r\n", 4},      {"\n", 0},
    };
    for (auto &c : cases) {
        load_table(c.header);
        EXPECT_EQ(numcpus, c.cpus) << c.header;
        EXPECT_EQ(numirqs, 0);
    }
    load_table(fixture("interrupts-4cpu-x86_64-procfs.txt"));
    EXPECT_EQ(numcpus, 4);
    load_table(fixture("interrupts-8cpu-aarch64.txt"));
    EXPECT_EQ(numcpus, 8);
}

TEST(Layout, OfflineCpusKeepTheirNumbers) {
    load_table("           CPU0       CPU1       CPU2       CPU3       CPU5       CPU7       \n"
               "  0:          1          2          3          4          5          6   x y\n");
    EXPECT_EQ(numcpus, 6);
    EXPECT_EQ(cpunum, (std::vector<long>{0, 1, 2, 3, 5, 7}));
    // A label without a number stands for its column.
    load_table("     CPU0     CPUx     CPU2\n");
    EXPECT_EQ(cpunum, (std::vector<long>{0, 1, 2}));
}

TEST(Layout, LabelGluedToItsFirstCount) {
    load_table(fixture("interrupts-8cpu-aarch64.txt"), false);
    EXPECT_EQ(numirqs, 60);
    // The glued digits are a count, never part of the name.
    EXPECT_EQ(irqnames[51], "IPI0:interrupts");
    EXPECT_EQ(irqnames[52], "IPI1:call interrupts");
    EXPECT_EQ(irqnames[53], "IPI2:stop interrupts");
    EXPECT_EQ(irqnames[58], "Err:");
    EXPECT_EQ(irqnames[59], ""); // the closing line of blanks

    // Glued with a description that keeps its first word's successor.
    reset_layout();
    numcpus = numfields = 2;
    combine = 0;
    init_map_line("IPI0:2768808080 2844211768       Rescheduling interrupts\n", 1);
    init_map_line("IPI9:2768808080\n", 2);
    EXPECT_EQ(irqnames[0], "IPI0:interrupts");
    EXPECT_EQ(irqnames[1], "IPI9:");
    // A byte above 0x7f after the colon glues on every architecture alike,
    // whether char is signed there or not.
    EXPECT_STREQ(glued_count("IPI0:\xff 5 6"), "\xff 5 6");
}

TEST(Layout, NoControlCharacterReachesAName) {
    load_table("   CPU0   CPU1   \n"
               "LBL:\n"   // label alone
               "\n"       // empty line
               "      \n" // blanks
               "  7:     1     2   ctl name\tand  tab\n"
               "  8:     1     2   ctl name\r\n"
               "  9:     1     2   ctl last-line-without-end",
               false);
    ASSERT_EQ(numirqs, 6);
    EXPECT_EQ(names(), (std::vector<std::string>{"LBL:", "", "", "7:name and  tab", "8:name ",
                                                 "9:last-line-without-"}));
    for (auto &n : names())
        for (char c : n)
            EXPECT_GE(static_cast<unsigned char>(c), ' ') << n;
}

TEST(Layout, OverLongLinesAreReadAsPieces) {
    // 98,403 characters fill the buffer: the rest of the line is a line of its own.
    std::string longline = "  3:";
    while (longline.size() < 98403 + 20)
        longline += "          1";
    load_table(two_cpu_header + "  1:  1  2  a b\n" + longline + "\n  4:  5  6  c d\n", false);
    EXPECT_EQ(numirqs, 4);
    EXPECT_EQ(irqnames[1], "3:1          1      "); // further counts read as description
    EXPECT_EQ(irqnames[3], "4:d");
    EXPECT_EQ(map_line(4).row, 3);
}

TEST(Layout, EmptyTableHasNoRows) {
    load_table("");
    EXPECT_EQ(numcpus, 0);
    EXPECT_EQ(numirqs, 0);
    load_table(two_cpu_header);
    EXPECT_EQ(numirqs, 0);
    EXPECT_EQ(irqtotals[0].size(), 0u);
}

TEST(Layout, MapRoomGrowsAndUnmappedLinesHaveNoRow) {
    load_table(two_cpu_header + "  1:  1  2  a b\n");
    EXPECT_EQ(maxlines, 1001);
    EXPECT_EQ(map_line(1).row, 0);
    EXPECT_EQ(map_line(2).row, -1);    // inside the room, never set
    EXPECT_EQ(map_line(5000).row, -1); // past the room
    EXPECT_EQ(map_line(0).row, -1);    // the header
    expand_map(1001);
    EXPECT_EQ(maxlines, 2001);
    EXPECT_EQ(map_line(1).row, 0);
}

} // namespace
