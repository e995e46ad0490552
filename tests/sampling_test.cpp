// The sampler: counts and totals read into a slot through the line map.

#include "term.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <curses.h>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t bottom = std::numeric_limits<std::int64_t>::min();

std::vector<std::int64_t> counts(int slot, int row) {
    std::vector<std::int64_t> v;
    for (int c = 0; c < numcpus; ++c)
        v.push_back(count_at(slot, row, c));
    return v;
}

class Sampling : public ::testing::Test {
  protected:
    void SetUp() override { open_screen(24, 80); }
};

TEST_F(Sampling, RealTableRowsAndMergedRows) {
    // The scan is the first sample.
    load_table(fixture("interrupts-8cpu-x86_64.txt"));
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
    // The first sample is the baseline too, and the sample before the next:
    // per second has no interval yet.
    for (int slot : {0, 2}) {
        EXPECT_EQ(irqtotals[slot][loc], 95861098);
        EXPECT_EQ(counts(slot, loc), counts(1, loc));
        EXPECT_EQ(rowtime[slot], rowtime[1]);
    }
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

// A table as the kernel keeps it, printed in the layout of one kernel or another.
struct kernel_line {
    std::string label;
    std::vector<std::uint64_t> counts;
    std::string chip, desc; // chip empty for a named line
};
struct kernel_table {
    std::vector<long> cpus;
    std::vector<kernel_line> lines;
};

kernel_table parse(const std::string &text) {
    kernel_table t;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    std::istringstream heads(line);
    for (std::string h; heads >> h;)
        t.cpus.push_back(std::stol(h.substr(3)));
    while (std::getline(in, line)) {
        std::istringstream words(line);
        kernel_line k;
        std::string w;
        if (!(words >> w) || w.find(':') == std::string::npos) continue;
        k.label = w.substr(0, w.find(':'));
        if (w.size() > k.label.size() + 1)
            k.counts.push_back(std::stoull(w.substr(k.label.size() + 1)));
        while (k.counts.size() < t.cpus.size() && words >> w)
            k.counts.push_back(std::stoull(w));
        std::getline(words >> std::ws, k.desc);
        if (std::isdigit(static_cast<unsigned char>(k.label[0]))) {
            k.chip = k.desc.substr(0, k.desc.find(' '));
            k.desc = k.desc.substr(k.desc.find_first_not_of(' ', k.chip.size()));
        }
        t.lines.push_back(k);
    }
    return t;
}

enum class layout { v6_12, v6_13, v7_2, loongarch };

std::string print(const kernel_table &t, layout l) {
    char b[64];
    std::string out = l == layout::v7_2 ? std::string(12, ' ') : std::string(11, ' ');
    for (long c : t.cpus) {
        std::snprintf(b, sizeof b, "CPU%-8ld", c);
        out += b;
    }
    out += '\n';
    const bool blank_first = l != layout::v6_12; // " %10u" rather than "%10u "
    for (const auto &k : t.lines) {
        std::snprintf(b, sizeof b, l == layout::v7_2 ? "%4s:" : "%3s:", k.label.c_str());
        out += b;
        if (!blank_first) out += ' ';
        for (auto v : k.counts) {
            std::snprintf(b, sizeof b, blank_first ? " %10llu" : "%10llu ",
                          static_cast<unsigned long long>(v));
            out += b;
        }
        if (l == layout::loongarch && k.label.rfind("IPI", 0) == 0)
            out += " LoongArch  " + k.label.substr(3) + "  " + k.desc;
        else if (!k.chip.empty())
            out +=
                (l == layout::v7_2
                     ? " " + k.chip + std::string(k.chip.size() < 16 ? 16 - k.chip.size() : 1, ' ')
                     : (l == layout::v6_12 ? " " : "") + std::string(" ") + k.chip + " ") +
                k.desc;
        else if (!k.desc.empty())
            out += "  " + k.desc;
        out += '\n';
    }
    return out;
}

int row_of(const std::string &label) {
    for (int r = 0; r < numirqs; ++r)
        if (irqnames[r].rfind(label + ":", 0) == 0) return r;
    return -1;
}

// What a row shows, the total then each column, as the screen has them: since
// start (ref 2), since the previous pass, or since boot (ref -1).
std::vector<std::int64_t> shown(const std::string &label, int cur, int ref) {
    const int r = row_of(label);
    EXPECT_GE(r, 0) << label;
    if (r < 0) return {};
    std::vector<std::int64_t> v{shown_count(cur, ref, r, numcpus)};
    for (int c = 0; c < numcpus; ++c)
        v.push_back(shown_count(cur, ref, r, c));
    return v;
}

kernel_line &line_of(kernel_table &t, const std::string &label) {
    for (auto &k : t.lines)
        if (k.label == label) return k;
    ADD_FAILURE() << label;
    return t.lines[0];
}

using counts_t = std::vector<std::int64_t>;

TEST_F(Sampling, RowsFollowTheirSourcesWhileTheTableChanges) {
    kernel_table t = parse(fixture("interrupts-8cpu-x86_64.txt"));
    // CPU3 is offline at start-up, and one count of line 16 is near the 32-bit limit.
    t.cpus.erase(t.cpus.begin() + 3);
    for (auto &k : t.lines)
        if (k.counts.size() > 3) k.counts.erase(k.counts.begin() + 3);
    line_of(t, "16").counts[1] = 4294967000u;
    for (bool merge : {false, true}) {
        SCOPED_TRACE(merge ? "merging" : "-c");
        kernel_table now = t;
        load_table(print(now, layout::v6_12), merge);
        read_input(getix(3));
        read_input(getix(4));
        int prev = 2;
        auto next_pass = [&] {
            set_table(print(now, layout::v6_12));
            const int slot = getix(0);
            read_input(slot);
            return slot;
        };
        // A line comes mid-table, between 25 and 27: the rows after it keep their
        // own counts, and the new row counts from its first sample.
        auto at = std::find_if(now.lines.begin(), now.lines.end(),
                               [](auto &k) { return k.label == "27"; });
        now.lines.insert(
            at, {"26", {100, 200, 300, 400, 500, 600, 700}, "IR-PCI-MSI", "1-edge      new"});
        line_of(now, "27").counts[0] += 5;
        int cur = next_pass();
        EXPECT_EQ(numirqs, merge ? 38 : 39);
        EXPECT_EQ(shown("27", cur, 2), (counts_t{5, 5, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(shown("26", cur, 2), counts_t(8, 0));
        EXPECT_EQ(shown("26", cur, prev), counts_t(8, 0));
        EXPECT_EQ(shown("26", cur, -1), (counts_t{2800, 100, 200, 300, 400, 500, 600, 700}));
        prev = cur;

        // A line vanishes: its row shows no change, the others stay their own.
        now.lines.erase(std::find_if(now.lines.begin(), now.lines.end(),
                                     [](auto &k) { return k.label == "23"; }));
        line_of(now, "26").counts[0] += 7;
        line_of(now, "27").counts[0] += 5;
        cur = next_pass();
        EXPECT_EQ(shown("23", cur, 2), counts_t(8, 0));
        EXPECT_EQ(shown("26", cur, 2), (counts_t{7, 7, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(shown("27", cur, 2), (counts_t{10, 10, 0, 0, 0, 0, 0, 0}));
        prev = cur;

        // A count wraps past 2^32 (496 interrupts), and line 9 is freed and
        // allocated again between two samples: it shows what came since.
        line_of(now, "16").counts[1] = 200;
        for (auto &v : line_of(now, "9").counts)
            v = 3;
        cur = next_pass();
        EXPECT_EQ(shown("16", cur, 2), (counts_t{496, 0, 496, 0, 0, 0, 0, 0}));
        EXPECT_EQ(shown("16", cur, prev), (counts_t{496, 0, 496, 0, 0, 0, 0, 0}));
        EXPECT_EQ(shown("9", cur, 2), (counts_t{21, 3, 3, 3, 3, 3, 3, 3}));
        EXPECT_EQ(shown("9", cur, -1), (counts_t{21, 3, 3, 3, 3, 3, 3, 3}));
        prev = cur;

        // CPU3 comes online: its column stands between cpu2 and cpu4 and counts
        // from its first sample. Line 23 comes back and goes on from where it was.
        now.cpus.insert(now.cpus.begin() + 3, 3);
        for (auto &k : now.lines)
            if (k.counts.size() > 3) k.counts.insert(k.counts.begin() + 3, 1000);
        now.lines.insert(now.lines.begin() + 7, line_of(t, "23"));
        line_of(now, "23").counts.insert(line_of(now, "23").counts.begin() + 3, 50);
        line_of(now, "23").counts[0] += 2;
        cur = next_pass();
        EXPECT_EQ(cpunum, (std::vector<long>{0, 1, 2, 3, 4, 5, 6, 7}));
        EXPECT_EQ(shown("27", cur, 2), (counts_t{10, 10, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(shown("27", cur, prev), counts_t(9, 0));
        EXPECT_EQ(shown("27", cur, -1)[4], 1000);
        EXPECT_EQ(shown("23", cur, 2), (counts_t{2, 2, 0, 0, 0, 0, 0, 0, 0}));
        prev = cur;
        for (auto &k : now.lines)
            if (k.counts.size() > 3) ++k.counts[3];
        cur = next_pass();
        EXPECT_EQ(shown("27", cur, 2), (counts_t{11, 10, 0, 0, 1, 0, 0, 0, 0}));
        EXPECT_EQ(shown("16", cur, 2), (counts_t{497, 0, 496, 0, 1, 0, 0, 0, 0}));
        EXPECT_EQ(shown("23", cur, 2), (counts_t{3, 2, 0, 0, 1, 0, 0, 0, 0}));
        EXPECT_EQ(shown("26", cur, 2), (counts_t{8, 7, 0, 0, 1, 0, 0, 0, 0}));
    }
}

TEST_F(Sampling, EveryKernelLayoutReadsAlike) {
    for (const char *name : {"interrupts-8cpu-x86_64.txt", "interrupts-8cpu-aarch64.txt"}) {
        kernel_table t = parse(fixture(name));
        // 7.2 prints ERR and MIS on every CPU with descriptions, 7.0 has a VPMI line.
        for (auto &k : t.lines)
            if (k.label == "ERR" || k.label == "MIS" || k.label == "Err") {
                k.counts.assign(t.cpus.size(), 7);
                k.desc = k.label == "MIS" ? "Missed interrupts" : "Error interrupts";
            }
        t.lines.push_back({"VPMI", std::vector<std::uint64_t>(t.cpus.size(), 4294967295u), "",
                           "Guest PMI interrupts"});
        for (layout l : {layout::v6_12, layout::v6_13, layout::v7_2, layout::loongarch}) {
            SCOPED_TRACE(::testing::Message() << name << ", layout " << static_cast<int>(l));
            const std::string text = print(t, l);
            load_table(text, false);
            ASSERT_EQ(numirqs, static_cast<int>(t.lines.size()));
            read_input(getix(3));
            for (int r = 0; r < numirqs; ++r) {
                const kernel_line &k = t.lines[r];
                EXPECT_EQ(irqnames[r].substr(0, k.label.size() + 1), k.label + ":");
                std::int64_t total = 0;
                for (std::size_t c = 0; c < k.counts.size(); ++c) {
                    EXPECT_EQ(shown_count(1, -1, r, c), static_cast<std::int64_t>(k.counts[c]))
                        << k.label << " cpu" << c;
                    total += k.counts[c];
                }
                EXPECT_EQ(shown_count(1, -1, r, numcpus), total) << k.label;
            }
            // The next kernel's layout under the same monitor: every row keeps its
            // source, and nothing came.
            set_table(print(t, l == layout::v7_2 ? layout::v6_12 : layout::v7_2));
            read_input(getix(4));
            EXPECT_EQ(numirqs, static_cast<int>(t.lines.size()));
            for (int r = 0; r < numirqs; ++r)
                EXPECT_EQ(shown_count(2, 1, r, numcpus), 0) << t.lines[r].label;
        }
    }
}

// riscv64 and 32-bit ARM tables as their kernels print them: counts past 2^31
// and up to 2^32 - 1, a 10-digit count glued to its IPI label, on 32-bit
// builds as on 64-bit ones.
TEST_F(Sampling, RiscvAndArmTablesReadWhole) {
    struct count {
        const char *label;
        int cpu;
        std::int64_t value;
    };
    const struct {
        const char *name;
        std::vector<count> counts;
        std::int64_t ipi5_total;
        const char *ipi5_shown; // on an 80-column screen, since boot
    } tables[] = {
        {"interrupts-4cpu-riscv64.txt",
         {{"IPI0", 0, 2768808080},
          {"IPI0", 1, 2844211768},
          {"IPI0", 3, 102},
          {"IPI5", 0, 4294967295},
          {"14", 0, 4294967295},
          {"13", 1, 3221225471},
          {"15", 2, 2147483648},
          {"10", 3, 998}},
         4294967310,
         "  4294967295          12           0           3"},
        {"interrupts-4cpu-armhf.txt",
         {{"IPI2", 0, 2147483650},
          {"IPI2", 1, 2001234567},
          {"IPI5", 3, 4294967295},
          {"48", 0, 3221225471},
          {"51", 0, 2147483647},
          {"51", 1, 2147483649},
          {"17", 3, 17734230}},
         4306951674,
         "     4018761     3965498     4000120  4294967295"},
    };
    for (const auto &t : tables) {
        SCOPED_TRACE(t.name);
        load_table(fixture(t.name), false);
        ASSERT_EQ(numcpus, 4);
        read_input(getix(3));
        for (const count &k : t.counts)
            EXPECT_EQ(shown(k.label, 1, -1)[k.cpu + 1], k.value) << k.label << " cpu" << k.cpu;
        EXPECT_EQ(shown("IPI5", 1, -1)[0], t.ipi5_total);
        EXPECT_EQ(irqnames[row_of("IPI0")].substr(0, 5), "IPI0:");
        // And the screen shows them as read.
        mode = 2;
        read_input_active = 0;
        brow = bcol = 0;
        repaint_screen(1);
        EXPECT_EQ(screen_line(row_of("IPI5") + 2).substr(32), t.ipi5_shown);
    }
}

// Counts are kept in 32 bits as the kernel prints them; a row that meets one
// past that, in the kernel's own format or not, keeps reading exactly.
TEST_F(Sampling, CountsPast32BitsReadExactlyAtEveryWidth) {
    const int widest = fieldwidth;
    auto line = [](const char *label, std::int64_t a, std::int64_t b) {
        char l[200];
        std::snprintf(l, sizeof l,
                      "%4s: %10lld %10lld %10d %10d %10d %10d %10d %10d %10d  chip dev\n", label,
                      static_cast<long long>(a), static_cast<long long>(b), 3, 4, 5, 6, 7, 8, 9);
        return std::string(l);
    };
    std::string header;
    for (int c = 0; c < 9; ++c)
        header += "      CPU" + std::to_string(c);
    header += "\n";
    for (int width : {8, 4, 2, 1}) {
        fieldwidth = std::min(widest, width);
        load_table(header + line("1", 1, 2) + line("2", 1, 2) + line("3", 1, 2));
        read_input(1);
        read_input(2);
        set_table(header + line("1", 4294967295, 2) + line("2", 4294967296, 2) +
                  line("3", -5, 9999999999));
        read_input(0);
        EXPECT_EQ(counts(0, 0)[0], 4294967295) << width;
        EXPECT_EQ(counts(0, 1)[0], 4294967296) << width;
        EXPECT_EQ(counts(0, 2)[0], -5) << width;
        EXPECT_EQ(counts(0, 2)[1], 9999999999) << width;
        EXPECT_EQ(counts(0, 2)[8], 9) << width;
        EXPECT_EQ(irqtotals[0][1], 4294967296 + 44) << width;
        EXPECT_EQ(shown_count(0, 2, 1, 0), 4294967295) << width;
        EXPECT_EQ(shown_count(0, 2, 1, 1), 0) << width;
        EXPECT_EQ(shown_count(0, 2, 2, 1), 9999999997) << width;
    }
    fieldwidth = widest;
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

TEST_F(Sampling, FieldsParseAsStrtollReadsThem) {
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
        const long long want = std::strtoll(f, &want_end, 10);
        EXPECT_EQ(parse_count(f, &end), want) << '"' << f << '"';
        EXPECT_EQ(end, want_end) << '"' << f << '"';
    }
}

TEST_F(Sampling, KeysAreLookedForAsThePassStartsNotBeforeEveryLine) {
    std::string table = "     CPU0     CPU1     \n";
    for (int i = 0; i < 2000; ++i)
        table += " " + std::to_string(i) + ":  1  2  chip dev\n";
    load_table(table);
    repaint_screen(1);
    push_keys(std::string(100, 't'));
    read_input(0);
    const int left = static_cast<int>(ahead.size());
    ahead.clear();
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
    const int file = fdinp;
    fdinp = kernel[0];
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
    close(fdinp);
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
