// Keyboard commands on a real curses screen, keys pushed into its input.

#include "term.h"

#include <chrono>
#include <cstring>
#include <curses.h>
#include <deque>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace kevrane;
using namespace kevrane::harness;

namespace {

class Keys : public ::testing::Test {
  protected:
    void SetUp() override {
        open_screen(24, 80);
        // 60 rows over 10 CPUs: three pages, three screenfuls of columns.
        std::string t;
        for (int c = 0; c < 10; ++c)
            t += "     CPU" + std::to_string(c);
        t += "     \n";
        for (int r = 0; r < 60; ++r)
            t += " " + std::to_string(r) + ":   1   2   3   4   5   6   7   8   9   10  chip dev\n";
        load_table(t);
        std::strcpy(kname.nodename, "keyhost");
        read_input(1);
        read_input_active = 0;
        brow = bcol = 0;
        mode = 0;
        sleepsec = 1;
        repaint_screen(0);
    }

    // Pushes the keys, handles the first, and says how many bells it rang.
    int press(const std::string &keys, int *result = nullptr) {
        push_keys(keys);
        int before = bells();
        int r = get_input();
        if (result) *result = r;
        return bells() - before;
    }

    int pending() {
        const int n = static_cast<int>(ahead.size());
        ahead.clear();
        return n;
    }
};

TEST_F(Keys, NoKeyPendingReturnsZero) {
    EXPECT_EQ(get_input(), 0);
}

TEST_F(Keys, ModeKeysCycleAndEndThePause) {
    int r;
    for (int want : {1, 2, 0, 1}) {
        EXPECT_EQ(press(want == 2 ? "\t" : "t", &r), 0);
        EXPECT_EQ(mode, want);
        EXPECT_EQ(r, 1);
    }
}

TEST_F(Keys, EscapeSequencesMoveTheWindow) {
    // 60 rows, pages of 21; 10 CPUs, four columns at a time.
    struct {
        const char *keys;
        int brow, bcol;
    } cases[] = {
        {"\033[B", 21, 0},  {"\033[B", 39, 0}, {"\033[A", 18, 0},  {"\033[C", 18, 4},
        {"\033[C", 18, 6},  {"\033[D", 18, 2}, {"\033[F", 39, 0},  {"\033[H", 0, 0},
        {"\033OF", 39, 0},  {"\033OH", 0, 0},  {"\033[6~", 21, 0}, {"\033[6~", 39, 0},
        {"\033[5~", 18, 0}, {"\033[1~", 0, 0}, {"\033[4~", 39, 0}, {"\033[7~", 0, 0},
        {"\033[8~", 39, 0},
    };
    for (auto &c : cases) {
        int r;
        std::string shown = c.keys + 1;
        EXPECT_EQ(press(c.keys, &r), 0) << shown;
        EXPECT_EQ(brow, c.brow) << shown;
        EXPECT_EQ(bcol, c.bcol) << shown;
        EXPECT_EQ(r, 0) << shown;         // repainted: the pause runs on
        EXPECT_EQ(pending(), 0) << shown; // a closing ~ was consumed
    }
    EXPECT_EQ(screen_line(2).substr(0, 7), "39:dev ");
}

TEST_F(Keys, LoneEscapeRepaintsAndRings) {
    int r;
    EXPECT_EQ(press("\033", &r), 1);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(screen_line(0).substr(0, 10), "keyhost   ");
}

// A sequence the monitor does not know is one key: one bell, nothing moves,
// no byte of it is read as a key of its own, and the pause runs on.
TEST_F(Keys, UnknownSequencesRingOnceAndDoNothingElse) {
    for (const char *seq : {"\033[15~", "\033[1;5C", "\033[2~", "\033[3~", "\033OP", "\033[[A",
                            "\033x", "\033[1;2A", "\033[200~t6\033[201~"}) {
        int r;
        EXPECT_EQ(press(std::string(seq) + "6"), 1) << seq + 1;
        EXPECT_EQ(brow, 0) << seq + 1;
        EXPECT_EQ(press("", &r), 0) << seq + 1; // 6 follows: a page down, no bell
        EXPECT_EQ(brow, 21) << seq + 1;
        EXPECT_EQ(r, 0);
        press("\033[H");
    }
    // At the prompts a sequence is not typed: Left, 4, Enter names CPU 4.
    press("c\033[D4\n");
    EXPECT_EQ(bcol, 4);
    press("s\033OP3\n");
    EXPECT_EQ(sleepsec, 3);
}

TEST_F(Keys, SequencesSplitAcrossLooks) {
    const int keyboard = open_screen_with_keyboard(24, 80);
    repaint_screen(1);
    auto type = [&](const char *keys) {
        ASSERT_EQ(write(keyboard, keys, std::strlen(keys)),
                  static_cast<ssize_t>(std::strlen(keys)));
    };
    int before = bells();
    type("\033[");
    EXPECT_EQ(get_input(), 0);
    EXPECT_EQ(get_input(), 0);
    type("B");
    EXPECT_EQ(get_input(), 0);
    EXPECT_EQ(brow, 21);
    type("\033[1;5");
    get_input();
    type("C");
    get_input();
    EXPECT_EQ(bcol, 0);
    EXPECT_EQ(bells(), before + 1);
    // ESC with nothing after it for longer than a sequence takes is ESC alone,
    // and what comes after that is a key of its own.
    type("\033");
    get_input();
    std::this_thread::sleep_for(std::chrono::nanoseconds(esc_wait_ns * 2));
    get_input();
    EXPECT_EQ(bells(), before + 2);
    type("t");
    EXPECT_EQ(get_input(), 1);
    EXPECT_EQ(mode, 1);
}

TEST_F(Keys, PageDigitsDiscardOneKey) {
    int r;
    EXPECT_EQ(press("6x", &r), 0);
    EXPECT_EQ(brow, 21);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(pending(), 0);
    EXPECT_EQ(press("5q"), 0); // the discarded q does not quit
    EXPECT_EQ(brow, 0);
    EXPECT_EQ(pending(), 0);
}

TEST_F(Keys, RedrawAndUnknownKeys) {
    int r;
    mvwaddstr(stdscr, 5, 0, "garbage");
    EXPECT_EQ(press("\014", &r), 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(screen_line(5).substr(0, 7), "3:dev  ");
    EXPECT_EQ(press("x", &r), 1);
    EXPECT_EQ(r, 1); // an unknown key ends the pause
    EXPECT_EQ(press("~", &r), 1);
}

TEST_F(Keys, LeftmostCpuPrompt) {
    struct {
        const char *reply;
        int bcol;
    } cases[] = {{"3\n", 3},
                 {"12\n", 10},
                 {"10\n", 10},
                 {"-4\n", 0},
                 {"7 9\n", 7},
                 {"abc\n", 0},
                 {"99999999999999999999999\n", 10},
                 {"\n", 10},
                 {"   \n", 10}};
    for (auto &c : cases) {
        int r;
        EXPECT_EQ(press(std::string("c") + c.reply, &r), 0) << c.reply;
        EXPECT_EQ(bcol, c.bcol) << c.reply;
        EXPECT_EQ(r, 0);
    }
    EXPECT_NE(terminal_output().find("Leftmost cpu? "), std::string::npos);
    // With offline CPUs the reply names a CPU number, not a column.
    load_table("     CPU0     CPU1     CPU2     CPU3     CPU5     CPU7     \n", false);
    for (auto [reply, col] :
         {std::pair{"4\n", 4}, {"5\n", 4}, {"6\n", 5}, {"7\n", 5}, {"8\n", 6}}) {
        press(std::string("c") + reply);
        EXPECT_EQ(bcol, col) << reply;
    }
}

TEST_F(Keys, RefreshIntervalPrompt) {
    struct {
        const char *reply;
        int sleepsec;
    } cases[] = {{"5\n", 5},
                 {"0\n", 1},
                 {"-3\n", 1},
                 {"abc\n", 1},
                 {"7\n", 7},
                 {"\n", 7},
                 {"429496729\n", 429496729},
                 {"429496730\n", 429496729},
                 {"99999999999999999999\n", 429496729},
                 {"2\n", 2}};
    for (auto &c : cases) {
        int r;
        EXPECT_EQ(press(std::string("s") + c.reply, &r), 0) << c.reply;
        EXPECT_EQ(sleepsec, c.sleepsec) << c.reply;
        EXPECT_EQ(r, 0);
    }
    EXPECT_NE(terminal_output().find("Refresh rate (sec)? "), std::string::npos);
    // The erase key edits the reply; other control keys are not part of it.
    press("s12\b5\n");
    EXPECT_EQ(sleepsec, 15);
    press("s3\x7f\x7f"
          "7\x01\n");
    EXPECT_EQ(sleepsec, 7);
    // A reply longer than the buffer is cut, never overflowing it.
    press("s" + std::string(120, '3') + "\n"); // ungetch holds at most about 130 keys
    EXPECT_EQ(sleepsec, 429496729);
    EXPECT_EQ(pending(), 0);
}

// Keys that are not a terminal may end at a prompt: the reply is what came.
TEST_F(Keys, PromptWhoseKeysEnd) {
    const int keyboard = open_screen_with_keyboard(24, 80);
    ASSERT_EQ(write(keyboard, "c4", 2), 2);
    close(keyboard);
    alarm(10); // a prompt that waited for ever would hang here
    get_input();
    alarm(0);
    EXPECT_EQ(bcol, 4);
    EXPECT_EQ(asking, 0);
}

TEST_F(Keys, HelpScreenAndBack) {
    int r;
    EXPECT_EQ(press("h\n", &r), 0);
    EXPECT_EQ(r, 0);
    std::string out = terminal_output();
    EXPECT_NE(out.find("Kevrane help:"), std::string::npos);
    EXPECT_NE(out.find("CR - to return to display"), std::string::npos);
    // Back on the display.
    EXPECT_EQ(screen_line(0).substr(0, 10), "keyhost   ");
    EXPECT_EQ(screen_line(23).substr(0, 7), "(h)elp,");
}

TEST_F(Keys, ResizeIsNotAnUnknownKey) {
    int before = bells();
    resizeterm(30, 100); // queues the resize event, as a SIGWINCH would
    EXPECT_EQ(get_input(), 0);
    EXPECT_EQ(bells(), before);
    EXPECT_EQ(prow, 29);
    EXPECT_EQ(ecol, 5);
    EXPECT_EQ(screen_line(1).substr(80, 12), "        cpu4");
}

TEST_F(Keys, QuitRestoresTheTerminalAndExitsZero) {
    push_keys("q");
    EXPECT_EXIT(get_input(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Keys, KeysDuringASample) {
    // A page key in the middle of a pass moves the window; the pass goes on
    // and the numbers come back after it.
    push_keys("6x");
    read_input(0);
    EXPECT_EQ(brow, 21);
    EXPECT_EQ(read_input_active, 0);
    repaint_screen(0);
    EXPECT_EQ(screen_line(2).substr(0, 4), "21:d");
}

TEST_F(Keys, KeyEndsThePauseTheMomentItComes) {
    const int keyboard = open_screen_with_keyboard(24, 80);
    std::thread typist([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(write(keyboard, "t", 1), 1);
    });
    const auto start = std::chrono::steady_clock::now();
    do_delay();
    const auto took = std::chrono::steady_clock::now() - start;
    typist.join();
    EXPECT_EQ(mode, 1);
    // Far below the 200 ms of a pause step, far above a key's 20 ms.
    EXPECT_LT(took, std::chrono::milliseconds(100));
}

TEST_F(Keys, PauseKeepsItsLengthWhenKeysEnd) {
    // Standard input that is not a terminal, at its end: no key can come.
    close(open_screen_with_keyboard(24, 80));
    sleepsec = 1;
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    do_delay();
    const auto took = std::chrono::steady_clock::now() - start;
    getrusage(RUSAGE_SELF, &after);
    const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                       (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
                       (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                       (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
    EXPECT_GE(took, std::chrono::milliseconds(950));
    // A pause that waited on the ended keyboard would spin through its second.
    EXPECT_LT(cpu, 0.3);
}

TEST_F(Keys, PauseEndsOnAModeKeyAndRunsOnAfterARepaint) {
    push_keys("tz");
    do_delay();
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(pending(), 1); // the pause ended at once: z was never read
    push_keys("6x5x");
    do_delay(); // five steps: the page keys repaint and let it run on
    EXPECT_EQ(brow, 0);
    EXPECT_EQ(pending(), 0);
}

// The unit grammar a byte at a time: each row is the writes a terminal makes,
// bytes of one write coming together ("" where the wait for a unit's rest
// runs out, as it does after the last), and the keys they make.
TEST(Units, EachRowMakesItsKeys) {
    const int seq = key_seq, up = key_move | 'A', home = key_move | 'H', pgup = key_page | 'A';
    const struct {
        std::vector<std::string> writes;
        std::vector<int> keys;
    } rows[] = {
        {{"t"}, {'t'}},
        {{"\033[A", "\033OH", "\033[5~", "\033[1~"}, {up, home, pgup, home}},
        {{"\033[[A", "\033[1;5A", "\033[" + std::string(40, '9') + "m", "\033[@t"},
         {seq, seq, seq, seq, 't'}},
        {{"\033"}, {27}},                                 // ESC alone
        {{"\033", "", "[A"}, {27, '[', 'A'}},             // and then [ A typed
        {{"\033[1\a", "\033O\x01"}, {seq, '\a', seq, 1}}, // cut short: the byte read again
        {{"\033[M\xff\x01\x7f", "\033[3$", "\033[3$x"}, {seq, seq, seq}}, // a click; rxvt's keys
        {{"\033]0;title\a", "\033Pq\033\\", "\033]x\x9c", "\033_a\033x"},
         {seq, seq, seq, seq, seq}},
        {{"\033]", "\033P"}, {seq, seq}}, // typed: Alt and the key
        {{"\x9b"
          "A",
          "\x9d"
          "0;t\x9c",
          "\x90"
          "q\033\\"},
         {up, seq, seq}},                                          // 8-bit introducers
        {{"\033[200~hello\033[201~t"}, {seq, 't'}},                // a paste
        {{"\033[200~a\033b\x18\x9b\033[2\033[201~t"}, {seq, 't'}}, // ESC, CAN and 0x9b in its text
        {{"\033[200~ab", "c\033[2", "01~"}, {seq}},                // across writes
        {{"\x9b"
          "200~x\x9b"
          "201~",
          "\x9b"
          "200~y\033[201~"},
         {seq, seq}}, // 8-bit pastes
        {{"\xc3\xa9", "\xe2\x82\xac",
          "\xc3"
          "A"},
         {seq, seq, seq, 'A'}},                                                           // UTF-8
        {{"\033a", "\033\xc3\xa9", "\033\033[A", "\033\033[M!!!"}, {seq, seq, seq, seq}}, // Alt
        {{"\033\033]0;t\a", "\033\033[200~x\033[201~", "\033\033\033"}, {seq, seq, seq, 27}},
        {{"\033[1\x18", "\033\x1a"
                        "t"},
         {seq, 27, 't'}}, // CAN and SUB end a unit and go
    };
    for (const auto &row : rows) {
        unit_grammar g;
        std::vector<int> keys;
        std::deque<int> bytes;
        auto wait_over = [&] {
            if (g.under_way()) keys.push_back(g.wait_over());
        };
        for (const std::string &w : row.writes) {
            if (w.empty()) wait_over();
            for (unsigned char c : w)
                bytes.push_back(c);
            while (!bytes.empty()) {
                const int b = bytes.front();
                bytes.pop_front();
                const unit_step s = g.feed(b, !bytes.empty());
                if (s.again) bytes.push_front(b);
                if (s.again == 2) bytes.push_front(27);
                if (s.key >= 0) keys.push_back(s.key);
            }
        }
        wait_over();
        std::string shown;
        for (const std::string &w : row.writes)
            for (unsigned char c : w + "|")
                shown += c >= ' ' && c <= '~' ? std::string(1, c) : "\\" + std::to_string(c);
        EXPECT_EQ(keys, row.keys) << shown;
    }
}

} // namespace
