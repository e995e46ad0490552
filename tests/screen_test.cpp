// The whole screen checked against the model after every step: random
// tables, terminal sizes from 1 x 1 to 300 x 100, every mode, and random
// keys (moves, page keys, Home and End, known and unknown escape sequences,
// mouse reports, strings, pastes, UTF-8 and Alt with any of them, rxvt's
// shifted keys, CAN and SUB, 8-bit introducers, whole, split across looks
// and coming slowly, the prompts and help with erase, kill and stray keys),
// new sizes in the middle of each, keys as a pass starts, a continue from
// outside before keys.

#include "scratch.h"
#include "screen_model.h"
#include "term.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace kevrane;
using namespace kevrane::screen_model;

namespace {

// No q anywhere: a unit cut short lets its bytes through as keys, and q
// would end the test.
// clang-format off
const char *const tokens[] = {
    "t", "\t", "\x0c", "5", "6", "x", "~", "c", "s", "h", "1", "4", "9", "0", " ", "\x7f", "\b",
    "\x15", "\r", "\n", "-", "\033[A", "\033[B", "\033[C", "\033[D", "\033[H", "\033[F", "\033OA",
    "\033OH", "\033OF", "\033[5~", "\033[6~", "\033[1~", "\033[4~", "\033[7~", "\033[8~",
    "\033[15~", "\033[1;5C", "\033[1;2A", "\033OP", "\033[[A", "\033x", "\033[2~", "\033",
    "\033\033", "\033[M x%", "\033[M\xff\x80\x9b", "\033[M 56",
    "\033[?64;1;2;6;9;15;16;17;18;21;22;28c",
    "\033[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20~", "\033]11;rgb:0000/0000/0000\033\\",
    "\033]0;t5\a", "\033P1+r544e=787465726d\033\\", "\033_a6\033\\", "\033X\033x", "\033^c\033\\",
    "\033[200~tx5\r\033[201~", "\033[200~c1\033[Ah\033[201~", "\xc3\xa9", "\xe2\x82\xac",
    "\xf0\x9f\x98\x80", "\xa9", "\xc3", "\033\t", "\033\r", "\033\x7f", "\033\xc3\xa9", "\x15",
    "\033\033[A", "\033\033", "\033[3$", "\033[23$", "\033P", "\033]", "\033_", "\x18", "\033[1\x18",
    "\033]0;t\x1a", "\x9b" "6~", "\x9bz", "\x9d" "0;\xc5\x9c\a", "\x90" "1\x9c", "\033[200~\x18z\033[201~",
    "\x9b" "200~t\x9b" "201~", "\x9b" "200~6\033[201~", "\033[200~\xc8\x9b" "201~\033\033[201~",
};
// clang-format on

std::vector<event> random_events(std::mt19937 &rng, int count, int cpus, int rows) {
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    std::vector<event> events;
    for (int i = 0; i < count; ++i) {
        const unsigned kind = pick(20);
        if (kind < 11) {
            std::string keys;
            for (unsigned n = 1 + pick(4); n > 0; --n)
                keys += tokens[pick(sizeof tokens / sizeof *tokens)];
            // Now and then a unit's rest comes in a later look, or some
            // milliseconds later: within the wait for it, or past it.
            if (keys.size() > 1 && pick(4) == 0) {
                const std::size_t cut = 1 + pick(keys.size() - 1);
                events.push_back({event::keys, keys.substr(0, cut)});
                keys.erase(0, cut);
            }
            // or with a continue from outside as they come, or after 5 or 6.
            const unsigned how = pick(8), after = keys[0] == '5' || keys[0] == '6';
            const auto kind = how < 5 ? event::keys : how > 6 ? event::cont : event::later;
            events.push_back({kind, keys, 0, 0, how < 7 ? 5 + int(pick(70)) : int(after)});
        } else if (kind < 14) {
            events.push_back({event::resize, "", 1 + static_cast<int>(pick(100)),
                              1 + static_cast<int>(pick(300))});
        } else if (kind < 17) {
            events.push_back({event::wait, ""});
        } else if (kind < 18) {
            events.push_back({event::table, make_table(pick, cpus, rows, i)});
        } else if (kind < 19) {
            events.push_back({event::early, tokens[pick(sizeof tokens / sizeof *tokens)]});
        } else {
            events.push_back({event::early, "", 1 + static_cast<int>(pick(100)),
                              1 + static_cast<int>(pick(300))});
        }
    }
    return events;
}

class Screen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(scratch::open_screen(24, 80, std::tmpfile(), fdopen(keyboard(), "r")), nullptr);
        catch_signals(); // a continue is let in as the monitor's own
    }

    void run_seed(unsigned seed, int lines, int cols) {
        std::mt19937 rng(seed);
        auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
        const int cpus = 1 + pick(pick(3) ? 12 : 300), rows = pick(3) ? pick(40) : pick(400);
        harness::load_table(make_table(pick, cpus, rows, 0), pick(4) != 0);
        std::strcpy(kname.nodename,
                    pick(2) ? "db\x01host\x7f-7\xe9" : "a-long-node-name.example.com");
        model m;
        m.lines = lines;
        m.cols = cols;
        m.mode = m.hmode = pick(3);
        m.brow = pick(numirqs + 1);
        m.bcol = pick(numcpus + 1);
        m.sleepsec = 1 + pick(3);
        const std::string diff = run(m, random_events(rng, 60, cpus, rows));
        EXPECT_EQ(diff, "") << "seed " << seed << ", " << lines << " x " << cols;
    }
};

TEST_F(Screen, EightyByTwentyFourAndOtherCommonSizes) {
    for (unsigned seed = 0; seed < 60; ++seed)
        run_seed(seed, seed % 3 ? 24 : 50, seed % 3 == 1 ? 80 : 132);
}

TEST_F(Screen, AnySizeFromOneByOne) {
    std::mt19937 rng(7);
    for (unsigned seed = 100; seed < 220; ++seed)
        run_seed(seed, 1 + rng() % 100, 1 + rng() % 300);
}

// A reply longer than its buffer is cut to fit, on a screen wide enough to
// show all of it.
TEST_F(Screen, LongReplies) {
    harness::load_table(harness::fixture("interrupts-8cpu-x86_64.txt"));
    for (const char *key : {"s", "c"}) {
        model m;
        m.cols = 200;
        EXPECT_EQ(run(m, {{event::keys, key},
                          {event::keys, std::string(100, '7')},
                          {event::resize, "", 30, 150},
                          {event::keys, "\x7f\r"}}),
                  "");
    }
}

// The bytes of a unit coming 30 ms apart, 90 ms in all, are still one key,
// and so is a 40-byte reply; one that stops coming for longer than the wait
// is cut short there.
TEST_F(Screen, SlowAndLongUnits) {
    harness::load_table(harness::fixture("interrupts-8cpu-x86_64.txt"));
    for (const char *cut : {"\033", "\033[", "\033[7", "\033]0;", "\xe2\x82"}) {
        std::vector<event> events;
        for (std::string_view unit : {"\033[7~", "\xe2\x82\xac", cut})
            for (std::size_t i = 0; i < unit.size(); ++i)
                events.push_back(
                    {i ? event::later : event::keys, std::string(unit.substr(i, 1)), 0, 0, 30});
        events.push_back({event::keys, "\033[" + std::string(37, '1') + "~"});
        events.push_back({event::later, "6", 0, 0, 60});
        model m;
        EXPECT_EQ(run(m, events), "") << cut;
    }
}

// The numbers of a large machine: the since-boot total of a 1,152-CPU
// machine after ten days passes 10^12, merged rows sum 12-digit counts.
TEST_F(Screen, BigMachineNumbers) {
    std::string t = harness::fixture("interrupts-8cpu-x86_64.txt");
    const std::size_t at = t.find("  0:");
    ASSERT_NE(at, std::string::npos);
    harness::load_table(
        t.substr(0, at) +
        "  0: 3268308804123 369000001305 12300000043 1 2 3 4 5 IO-APIC 2-edge timer\n" +
        t.substr(t.find('\n', at) + 1));
    std::strcpy(kname.nodename, "big");
    for (int cols : {80, 100, 81, 33}) {
        model m;
        m.cols = cols;
        m.mode = m.hmode = 2;
        EXPECT_EQ(
            run(m, {{event::wait, ""}, {event::keys, "t"}, {event::keys, "t"}, {event::wait, ""}}),
            "")
            << cols;
    }
}

} // namespace
