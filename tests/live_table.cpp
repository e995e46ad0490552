// A live interrupt table for the tests, served through FUSE as a large
// machine's kernel serves /proc/interrupts: printed afresh at every read from
// the start, each line when a read first reaches it, at a pace of so many
// nanoseconds a byte, and so many more a read call (a table served from
// elsewhere, whose every call costs a round trip).
//
//   live_table MOUNTPOINT TEMPLATE NS_PER_BYTE [NS_PER_CALL]
//
// serves MOUNTPOINT/interrupts from TEMPLATE, a table in the kernel's format
// in which a field @R is a count that grows R a second from the moment the
// server started, printed as the kernel prints counts. It stays in the
// foreground until it is unmounted or killed.

#define FUSE_USE_VERSION 31

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <fuse.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::vector<std::string> lines; // the template, a line each
clock_type::time_point born;
double pace;    // ns a byte
double percall; // ns a read call

struct reading { // one open file: what this pass has printed so far
    std::string text;
    std::size_t next = 0; // the template line to print next
};

std::string print_line(const std::string &line, double seconds) {
    std::string out;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t mark = line.find('@', at);
        if (mark == std::string::npos) {
            out += line.substr(at);
            break;
        }
        out += line.substr(at, mark - at);
        char *end;
        const double rate = std::strtod(line.c_str() + mark + 1, &end);
        char count[32];
        std::snprintf(count, sizeof count, "%10llu",
                      static_cast<unsigned long long>(rate * seconds));
        out += count;
        at = end - line.c_str();
    }
    return out + "\n";
}

int get_attr(const char *path, struct stat *st, fuse_file_info *) {
    *st = {};
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
    } else if (std::strcmp(path, "/interrupts") == 0) {
        st->st_mode = S_IFREG | 0444; // no size, as in /proc
        st->st_nlink = 1;
    } else {
        return -ENOENT;
    }
    return 0;
}

int open_table(const char *path, fuse_file_info *fi) {
    if (std::strcmp(path, "/interrupts") != 0) return -ENOENT;
    fi->direct_io = 1; // every read comes here, none from a cache
    fi->fh = reinterpret_cast<std::uint64_t>(new reading);
    return 0;
}

int read_table(const char *, char *buf, std::size_t size, off_t off, fuse_file_info *fi) {
    const auto start = clock_type::now();
    auto *r = reinterpret_cast<reading *>(fi->fh);
    if (off == 0) *r = {}; // read from the start: printed afresh
    const double now = std::chrono::duration<double>(start - born).count();
    while (r->text.size() < static_cast<std::size_t>(off) + size && r->next < lines.size())
        r->text += print_line(lines[r->next++], now);
    const std::size_t n =
        static_cast<std::size_t>(off) < r->text.size() ? std::min(size, r->text.size() - off) : 0;
    std::memcpy(buf, r->text.data() + off, n);
    std::this_thread::sleep_until(
        start + std::chrono::nanoseconds(static_cast<long long>(pace * n + percall)));
    return static_cast<int>(n);
}

int release_table(const char *, fuse_file_info *fi) {
    delete reinterpret_cast<reading *>(fi->fh);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s MOUNTPOINT TEMPLATE NS_PER_BYTE [NS_PER_CALL]\n", argv[0]);
        return 2;
    }
    std::ifstream f(argv[2]);
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    pace = std::strtod(argv[3], nullptr);
    percall = argc == 5 ? std::strtod(argv[4], nullptr) : 0;
    born = clock_type::now();
    fuse_operations ops{};
    ops.getattr = get_attr;
    ops.open = open_table;
    ops.read = read_table;
    ops.release = release_table;
    // In the foreground, one request at a time, as one reader makes them.
    char *args[] = {argv[0], argv[1], const_cast<char *>("-f"), const_cast<char *>("-s"), nullptr};
    return fuse_main(4, args, &ops, nullptr);
}
