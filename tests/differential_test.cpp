// The fast sampler against a plain reading of the same tables: stdio lines
// of the same buffer size, strtol for every field, the program's own line map.

#include "reference.h"
#include "term.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

std::string field(std::mt19937 &rng) {
    static const char *odd[] = {"-5",
                                "+17",
                                "\t42",
                                "12abc",
                                "x",
                                "-",
                                "+",
                                "\t",
                                "0x1f",
                                "0000000042",
                                "\v7",
                                "-9223372036854775809",
                                "9223372036854775807",
                                "1234567890123456789012345",
                                // as wide as a kernel field, but not one
                                "        -5",
                                "  12 45678",
                                "   +123456",
                                "123456789x"};
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
std::string random_table(std::mt19937 &rng, int cpus, int lines) {
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
        case 0: t += "ERR: " + field(rng) + "\n"; continue;
        case 1: { // glued label: a 10-digit count straight after the colon
            t +=
                "IPI" + std::to_string(i) + ":" + std::to_string(1000000000u + rng() % 1000000000u);
            for (int c = 1; c < cpus; ++c)
                t += " " + field(rng);
            t += "       Function call interrupts\n";
            continue;
        }
        case 2: { // blanks and tabs between fields, CRLF, trailing blanks
            t += " " + std::to_string(i) + ":";
            for (int c = 0; c < cpus; ++c)
                t += std::string(1 + rng() % 3, ' ') + field(rng);
            t += rng() % 2 ? "   \r\n" : "  a b  \n";
            continue;
        }
        default: {
            char b[16];
            std::snprintf(b, sizeof b, "%4d: ", i);
            t += b;
            int n = rng() % 8 ? cpus : static_cast<int>(rng() % (cpus + 1));
            for (int c = 0; c < n; ++c)
                t += field(rng) + " ";
            t += std::string(" ") + descs[rng() % std::size(descs)] + "\n";
        }
        }
    }
    return t;
}

// Runs the sampler and the plain reading on the same text, from the same slot.
void expect_same_pass(const std::string &text, int slot) {
    std::vector<std::int64_t> counts = irqcounts[slot], totals = irqtotals[slot];
    const int before = previous_slot(slot);
    reference::plain_pass(text, counts, totals, irqcounts[before], irqtotals[before]);
    set_table(text);
    read_input(slot);
    ASSERT_EQ(irqcounts[slot], counts);
    ASSERT_EQ(irqtotals[slot], totals);
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
        std::string first = random_table(rng, cpus, 5 + rng() % 40);
        load_table(first, rng() % 3 != 0);
        SCOPED_TRACE(::testing::Message() << "round " << round << ", " << cpus << " CPUs");
        expect_same_pass(first, 1);
        // The table changes under the monitor: other counts, lines come and go.
        expect_same_pass(random_table(rng, cpus, 5 + rng() % 40), 1);
        expect_same_pass(random_table(rng, 1 + rng() % 70, 5 + rng() % 40), 0);
    }
}

TEST_P(Differential, WideTablesAndOverLongLines) {
    std::mt19937 rng(7);
    // 9,000 CPUs: every line is longer than the line buffer and comes in pieces.
    for (int cpus : {1152, 4096, 9000}) {
        std::string t = random_table(rng, cpus, 12);
        load_table(t);
        SCOPED_TRACE(cpus);
        expect_same_pass(t, 0);
        expect_same_pass(random_table(rng, cpus, 12), 0);
    }
}

TEST(Fields, AgreeWithStrtol) {
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
        long want = std::strtol(s.c_str(), &want_end, 10);
        ASSERT_EQ(parse_count(s.c_str(), &end), want) << '"' << s << '"';
        ASSERT_EQ(end - s.c_str(), want_end - s.c_str()) << '"' << s << '"';
    }
}

} // namespace
