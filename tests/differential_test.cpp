// The sampler against a plain reading of the same tables, pass after pass
// while the table changes under it: what every row shows since boot, since
// start and since the last pass, in every column and the total.

#include "reference.h"
#include "scratch.h"
#include "term.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

// Mostly zeros, as on a large machine, where `zeros`.
std::string field(std::mt19937 &rng, bool zeros = false) {
    if (zeros && rng() % 8) return "         0";
    static const char *odd[] = {"-5", "+17", "\t42", "12abc", "x", "-", "+", "\t", "0x1f",
                                "0000000042", "\v7", "-9223372036854775809", "9223372036854775807",
                                "1234567890123456789012345",
                                // as wide as a kernel field, but not one
                                "        -5", "  12 45678", "   +123456", "123456789x"};
    switch (rng() % 16) {
    case 0: return odd[rng() % std::size(odd)];
    case 1: return std::to_string(rng()) + std::to_string(rng() % 1000);
    default: {
        unsigned v = rng() % 3 ? rng() % 1000 : rng();
        char b[16];
        std::snprintf(b, sizeof b, "%10u", v);
        return b;
    }
    }
}

// A table in the kernel's layout, with the oddities real and hostile tables show.
std::string random_table(std::mt19937 &rng, int cpus, int lines, bool zeros = false) {
    std::string t = "      ";
    for (int c = 0; c < cpus; ++c) {
        char b[16];
        std::snprintf(b, sizeof b, "CPU%-8d", c);
        t += b;
    }
    if (rng() % 4 == 0)
        while (t.back() == ' ')
            t.pop_back();
    t += '\n';
    const char *descs[] = {"IO-APIC   2-edge      timer", "DMAR-MSI  0-edge      dmar0",
                           "PCI-MSI  1-edge      eth0",   "Local timer interrupts",
                           "Rescheduling interrupts",     ""};
    for (int i = 0; i < lines; ++i) {
        switch (rng() % 10) {
        case 0: t += "ERR: " + field(rng, zeros) + "\n"; continue;
        case 1: { // glued label: a 10-digit count straight after the colon
            t +=
                "IPI" + std::to_string(i) + ":" + std::to_string(1000000000u + rng() % 1000000000u);
            for (int c = 1; c < cpus; ++c)
                t += " " + field(rng, zeros);
            t += "       Function call interrupts\n";
            continue;
        }
        case 2: { // blanks and tabs between fields, CRLF, trailing blanks
            t += " " + std::to_string(i) + ":";
            for (int c = 0; c < cpus; ++c)
                t += std::string(1 + rng() % 3, ' ') + field(rng, zeros);
            t += rng() % 2 ? "   \r\n" : "  a b  \n";
            continue;
        }
        default: {
            char b[16];
            std::snprintf(b, sizeof b, "%4d: ", i);
            t += b;
            int n = rng() % 8 ? cpus : static_cast<int>(rng() % (cpus + 1));
            for (int c = 0; c < n; ++c)
                t += field(rng, zeros) + " ";
            t += std::string(" ") + descs[rng() % std::size(descs)] + "\n";
        }
        }
    }
    return t;
}

// Only what a kernel prints, every count in 32 bits: line i's count on CPU c
// is base + i + c, except on one CPU per line, spread over the line's runs of
// eight fields, whose count is `fallen`; and 0 on the CPUs it does not count
// on, all but `on` in 16. The last `block` lines are not numbered, as x86's
// per-CPU lines are not.
std::string kernel_only(int cpus, int lines, unsigned base, unsigned fallen, int on = 16,
                        int block = 0) {
    std::string t = "     ";
    for (int c = 0; c < cpus; ++c) {
        char b[16];
        std::snprintf(b, sizeof b, "CPU%-8d", c);
        t += b;
    }
    t += "\n";
    for (int i = 0; i < lines; ++i) {
        char b[16];
        std::snprintf(b, sizeof b, i < lines - block ? "%4d:" : "PC%d:",
                      i < lines - block ? i : i - lines + block);
        t += b;
        for (int c = 0; c < cpus; ++c) {
            std::snprintf(b, sizeof b, " %10u",
                          (c * 7 + i) % 16 >= on     ? 0
                          : c == (i * 37 + 5) % cpus ? fallen
                                                     : base + i + c);
            t += b;
        }
        t += i < lines - block ? "  IO-APIC   2-edge      timer\n" : "  Local timer interrupts\n";
    }
    return t;
}

// Start-up on the first table, as the program takes it, then a pass over each
// table, served as slowly as the kernel of a large machine or a table behind
// FUSE serves it, in records or not, with calls held up, at costs that change
// from pass to pass (or at `fixed` ones), seconds apart; after every pass the
// program shows what the plain reading does, and each row's time since the
// pass before as near as its read calls allow (or `within` a fraction of
// it). The keyboard is looked at before every read call of a pass, but
// within a millisecond of a look.
void expect_same_passes(const std::vector<std::string> &tables, bool merge,
                        const reference::pace *fixed = nullptr, double within = 0) {
    static std::mt19937 rng(43);
    reference::model want;
    reset_layout();
    combine = merge;
    int prev = -1;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const std::int64_t percall[] = {0, 2000, 3000000, 40000000}, perbyte[] = {0, 40, 340};
        reference::serve(
            tables[i],
            fixed ? *fixed
                  : reference::pace{percall[rng() % 4] + static_cast<std::int64_t>(rng() % 1000),
                                    perbyte[rng() % 3], rng() % 2 == 0, 50, 20000000});
        reference::let_time_pass(1000000000 + rng() % 100000000);
        if (i == 0) {
            alloc_tables();
            want.start(tables[i], merge, reference::printed());
            scratch::start_sampler();
        } else {
            read_input(getix(0));
            want.pass(tables[i], reference::printed());
        }
        const int slot = getix(1);
        ASSERT_EQ(want.differences(slot, prev, within), "") << "pass " << i << " of\n" << tables[i];
        for (const auto &c : reference::calls())
            ASSERT_TRUE(i == 0 || c.unlooked < key_look_ns)
                << "pass " << i << ", no look for " << c.unlooked << " ns";
        prev = slot;
    }
}

// The table as the kernel rewrites it between passes: lines come, go, move and
// change labels, counts wrap, restart and grow, CPUs come and go.
std::vector<std::string> changing(std::mt19937 &rng, std::string first, int passes) {
    std::vector<std::string> tables{first, first};
    while (static_cast<int>(tables.size()) < passes) {
        std::vector<std::uint8_t> ops(1 + rng() % 24);
        for (auto &b : ops)
            b = static_cast<std::uint8_t>(rng());
        const std::uint8_t *op = ops.data();
        while (op < ops.data() + ops.size()) {
            tables.push_back(tables.back());
            reference::edit(tables.back(), op, ops.data() + ops.size());
        }
    }
    return tables;
}

// The widest conversion this processor has, before any test lowers it.
int processor_width() {
    static const int widest = fieldwidth;
    return widest;
}

// Every conversion width this processor has, down to one field at a time.
std::vector<int> widths() {
    std::vector<int> w;
    for (int n : {8, 4, 2, 1})
        if (n <= processor_width()) w.push_back(n);
    return w;
}

class Differential : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        open_screen(24, 80);
        fieldwidth = GetParam();
    }
    void TearDown() override { fieldwidth = processor_width(); }
};

INSTANTIATE_TEST_SUITE_P(Widths, Differential, ::testing::ValuesIn(widths()));

TEST_P(Differential, RandomTablesReadAlike) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 60; ++round) {
        const int cpus = 1 + rng() % 70;
        std::vector<std::string> tables =
            changing(rng, random_table(rng, cpus, 5 + rng() % 40, rng() % 2), 8);
        // And one that is another table altogether, with another CPU count.
        tables.push_back(random_table(rng, 1 + rng() % 70, 5 + rng() % 40));
        SCOPED_TRACE(::testing::Message() << "round " << round << ", " << cpus << " CPUs");
        expect_same_passes(tables, rng() % 3 != 0);
    }
}

TEST_P(Differential, RealTablesChangingUnderTheMonitor) {
    std::mt19937 rng(17);
    for (const char *name : {"interrupts-8cpu-x86_64.txt", "interrupts-8cpu-aarch64.txt",
                             "interrupts-4cpu-x86_64-procfs.txt", "interrupts-4cpu-riscv64.txt",
                             "interrupts-4cpu-armhf.txt"})
        for (int round = 0; round < 20; ++round) {
            SCOPED_TRACE(::testing::Message() << name << ", round " << round);
            expect_same_passes(changing(rng, fixture(name), 10), round % 2);
        }
}

TEST_P(Differential, WideTablesAndOverLongLines) {
    std::mt19937 rng(7);
    // 9,000 CPUs: every line is longer than the line buffer and comes in
    // pieces. 4,096 CPUs: lines run across the reads of a megabyte.
    for (auto [cpus, lines] : {std::pair{1152, 12}, {4096, 60}, {9000, 12}}) {
        SCOPED_TRACE(cpus);
        const std::string t = random_table(rng, cpus, lines);
        expect_same_passes({t, t, random_table(rng, cpus, lines), t}, true);
    }
    // Every count grows but one per line, far along it: the conversion must
    // see each fall, in whichever run of fields it stands. Merged, the lines
    // of the one row are read at times of their own; half of them are gone
    // for a pass, then all, before they come back.
    for (int cpus : {64, 1152})
        for (bool merge : {false, true}) {
            SCOPED_TRACE(::testing::Message() << cpus << " CPUs, one count falls per line");
            const int lines = 40;
            expect_same_passes(
                {kernel_only(cpus, lines, 1000, 1000), kernel_only(cpus, lines, 1000, 1000),
                 kernel_only(cpus, lines, 9000, 3), kernel_only(cpus, lines / 2, 9500, 9500),
                 kernel_only(cpus, 0, 0, 0), kernel_only(cpus, lines, 20000, 20000)},
                merge);
        }
    // Lines that count on a few CPUs, then on more, pass after pass, until on
    // all of them, and back to a few: rows take columns they never counted on.
    for (bool merge : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "rows counting on more CPUs, merged " << merge);
        std::vector<std::string> tables;
        for (int on : {0, 1, 1, 3, 7, 9, 16, 2})
            tables.push_back(kernel_only(1152, 20, 1000 * (1 + tables.size()), 5, on));
        expect_same_passes(tables, merge);
    }
    // CPU0 comes online before the columns of a line that counts on CPU5
    // and CPU8 alone, as its count on CPU5 falls: the fall is in its first
    // cell, whose column is 5 by then, and column 0 is the new one.
    auto sparse = [](bool cpu0, unsigned five, unsigned eight) {
        char b[200];
        std::snprintf(b, sizeof b,
                      "%s CPU1 CPU2 CPU3 CPU4 CPU5 CPU6 CPU7 CPU8\n"
                      "  0:%s 0 0 0 0 %u 0 0 %u  IO-APIC   2-edge      timer\n",
                      cpu0 ? " CPU0" : "", cpu0 ? " 0" : "", five, eight);
        return std::string(b);
    };
    for (bool merge : {false, true})
        expect_same_passes({sparse(false, 100, 200), sparse(false, 110, 210), sparse(true, 3, 220)},
                           merge);
}

// Per second over when each line was printed, within 1%, where the kernel
// prints x86's per-CPU lines as one record of 250 KB in the call that reaches
// them and hands it out over many; at 40 and 300 ns a byte, one call in 20
// held up by up to 20 ms before, during or after printing; and as call
// boundaries move: a line comes before those lines, a CPU comes online.
TEST(Rates, WithinOnePercentOfWhenEachLineWasPrinted) {
    open_screen(24, 80);
    std::vector<std::string> tables;
    for (int pass = 0; pass < 10; ++pass)
        tables.push_back(
            kernel_only(1152 + (pass >= 7), 200 + (pass >= 4), 1000 * pass, 5, 16, 20));
    for (std::int64_t perbyte : {40, 300}) {
        SCOPED_TRACE(::testing::Message() << perbyte << " ns a byte");
        const reference::pace pace{2000, perbyte, true, 50, 20000000};
        expect_same_passes(tables, false, &pace, 0.01);
    }
}

// Each read call asks for what takes 4 ms at the source's true costs, or
// twice its fixed cost where that is more: never more than twice that
// (beyond the least read of 4 KiB), in records or not, with one call in 20
// or one in 5 held up by up to 20 ms, or two in 5 by up to 4 ms, before,
// during or after printing; and once the costs are known, at least half of it.
TEST(Reads, SizedByWhatACallReallyCosts) {
    open_screen(24, 80);
    // 0.7 MB of short lines; lines of 99 KB, each printed whole by one call
    // and handed out over several; and x86's per-CPU lines, one record of
    // 56 KB, likewise.
    const std::string tables[] = {kernel_only(64, 1000, 1000, 1000), kernel_only(9000, 4, 1, 1),
                                  kernel_only(256, 120, 1, 1, 16, 20)};
    for (const std::string &table : tables)
        for (auto [held, holdup] : {std::pair{50u, 20000000}, {200u, 20000000}, {400u, 4000000}})
            for (std::int64_t percall : {0, 2000, 3000000, 40000000})
                for (std::int64_t perbyte : {0, 40, 340})
                    for (bool records : {false, true}) {
                        SCOPED_TRACE(::testing::Message()
                                     << table.size() << " bytes, " << held << " held in 1000, "
                                     << percall << " ns a call, " << perbyte << " a byte, records "
                                     << records);
                        const double allowed = std::max(4e6, 2.0 * percall) - percall;
                        const double most = perbyte ? allowed / perbyte : 1 << 20;
                        const std::size_t bound = std::max<std::size_t>(2 * most, 4096);
                        reset_layout();
                        reference::serve(table, {percall, perbyte, records, held, holdup});
                        alloc_tables();
                        std::size_t widest = 0;
                        for (int pass = 0; pass < 6; ++pass) {
                            if (pass) read_input(getix(0));
                            for (const auto &c : reference::calls()) {
                                ASSERT_LE(c.asked, bound) << "pass " << pass;
                                if (pass == 5) widest = std::max(widest, c.asked);
                            }
                        }
                        // In records, the buffer bounds a call whatever it asks.
                        if (&table == tables && held == 50 && !records) {
                            EXPECT_GE(widest, std::min<std::size_t>(most / 2, 1 << 20));
                        }
                    }
}

TEST(Fields, AgreeWithStrtoll) {
    std::mt19937 rng(99);
    const char alphabet[] = "          \t\n\v+-0123456789999ax";
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        for (int n = rng() % 24; n > 0; --n)
            s += alphabet[rng() % (sizeof alphabet - 1)];
        if (rng() % 50 == 0) s += std::string(rng() % 40, '9');
        const char *end;
        char *want_end;
        errno = 0;
        const long long want = std::strtoll(s.c_str(), &want_end, 10);
        ASSERT_EQ(parse_count(s.c_str(), &end), want) << '"' << s << '"';
        ASSERT_EQ(end - s.c_str(), want_end - s.c_str()) << '"' << s << '"';
    }
}

} // namespace
