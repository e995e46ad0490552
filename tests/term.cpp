#include "term.h"
#include "scratch.h"

#include <algorithm>
#include <curses.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace kevrane::harness {

namespace {
FILE *term_out;
std::string table_path;
} // namespace

void open_screen(int lines, int cols) {
    term_out = std::tmpfile();
    FILE *in = std::fopen("/dev/null", "r");
    ASSERT_TRUE(term_out && in);
    ASSERT_NE(scratch::open_screen(lines, cols, term_out, in), nullptr);
}

int open_screen_with_keyboard(int lines, int cols) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    term_out = std::tmpfile();
    EXPECT_NE(scratch::open_screen(lines, cols, term_out, fdopen(fds[0], "r")), nullptr);
    return fds[1];
}

void resize(int lines, int cols) {
    scratch::resize(lines, cols);
}

std::string screen_line(int y) {
    std::string s(COLS + 1, '\0');
    int n = mvwinnstr(stdscr, y, 0, s.data(), COLS);
    s.resize(n < 0 ? 0 : n);
    return s;
}

std::string terminal_output() {
    std::fflush(term_out);
    std::rewind(term_out);
    std::string out;
    for (int c; (c = std::fgetc(term_out)) != EOF;)
        out += static_cast<char>(c);
    std::fseek(term_out, 0, SEEK_END);
    return out;
}

int bells() {
    std::string out = terminal_output();
    return static_cast<int>(std::count(out.begin(), out.end(), '\a'));
}

void push_keys(const std::string &keys) {
    for (auto k = keys.rbegin(); k != keys.rend(); ++k)
        push_key(static_cast<unsigned char>(*k));
}

void reset_layout() {
    scratch::reset_layout();
}

void set_table(const std::string &text) {
    if (table_path.empty()) {
        char path[] = "/tmp/kevrane-table-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        table_path = path;
        std::atexit([] { unlink(table_path.c_str()); });
    }
    {
        std::ofstream f(table_path, std::ios::binary | std::ios::trunc);
        f << text;
    }
    if (fdinp < 0) {
        ASSERT_TRUE(open_table(table_path.c_str()));
    }
}

void load_table(const std::string &text, bool merge) {
    reset_layout();
    combine = merge;
    set_table(text);
    alloc_tables();
}

std::string fixture(const std::string &name) {
    std::ifstream f(std::string(KEVRANE_TEST_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(f.good()) << name;
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

} // namespace kevrane::harness
