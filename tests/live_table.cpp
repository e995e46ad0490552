// A live interrupt table for the tests, served through FUSE as a large
// machine's kernel serves /proc/interrupts: printed afresh at every read from
// the start, each line when a read first reaches it, at a pace of so many
// nanoseconds a byte, and so many more a read call (a table served from
// elsewhere, whose every call costs a round trip). Each line's counts are
// those of the moment it was printed: its call's start, the bytes the call
// printed before it at that pace, and a hold-up before it, if any.
//
//   live_table MOUNTPOINT TEMPLATE NS_PER_BYTE [NS_PER_CALL] [OPTION...]
//
// serves MOUNTPOINT/interrupts from TEMPLATE, a table in the kernel's format
// in which a field @R is a count that grows R a second from the moment the
// server started, printed as the kernel prints counts. It stays in the
// foreground until it is unmounted or killed. Options:
//   --records      serve as the kernel's sequence files do: a call hands out
//                  what the call before printed and did not give, and if
//                  that was all of it, prints whole records until it holds
//                  what was asked or its buffer is full, and at least one;
//                  the buffer is 4 KiB, doubled while a record does not fit,
//                  and kept across rewinds. A record is a line; the header
//                  comes with irq 0's line
//   --block N      with --records, the template's last N lines are one record
//   --held P:NS    P calls in a thousand are held up by up to NS ns before,
//                  during or after printing, as a busy machine holds them
//   --log FILE     a line a call: its offset, what it asked for and gave,
//                  when it began and how long it took (ns); a call at offset
//                  0 begins a pass
// A call is charged its bytes printed and its fixed cost.

#define FUSE_USE_VERSION 31

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <fuse.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::vector<std::string> lines; // the template, a line each
clock_type::time_point born;
double pace;       // ns a byte printed
double percall;    // ns a read call
bool records;      // printed a record at a time, as a sequence file
std::size_t block; // the last lines that are one record
unsigned held;     // calls in a thousand held up
long long holdup;  // by up to so many ns
FILE *calllog;
std::mt19937 rng(1);

struct reading { // one open file: what this pass has printed so far
    std::string text;
    std::size_t next = 0;      // the template line to print next
    std::size_t given = 0;     // in records: bytes given since the rewind
    std::size_t buffer = 4096; // in records: the most a call prints
};

// A call's printing: when it began, and a hold-up, if any, before it or from
// so many bytes printed on.
struct printing {
    double start;
    long long hold = 0;
    int where = 2; // before, during, after
    std::size_t point = 0;
    // When a line was printed, after so many bytes of the call's printing.
    double at(std::size_t before) const {
        return start + pace * before * 1e-9 +
               (where == 0 || (where == 1 && before >= point) ? hold * 1e-9 : 0);
    }
};

bool irq_zero(const std::string &line) {
    const std::size_t at = line.find_first_not_of(' ');
    return at != std::string::npos && line.compare(at, 2, "0:") == 0;
}

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

// The next record from template line `from`: a line, the header with irq 0's
// line, or the block.
std::size_t record_lines(std::size_t from) {
    if (from == 0 && lines.size() > 1 && irq_zero(lines[1])) return 2;
    return block && from + block >= lines.size() ? lines.size() - from : 1;
}

int read_table(const char *, char *buf, std::size_t size, off_t off, fuse_file_info *fi) {
    const auto start = clock_type::now();
    auto *r = reinterpret_cast<reading *>(fi->fh);
    if (off == 0) { // read from the start: printed afresh
        r->text.clear();
        r->next = r->given = 0;
    }
    printing p{std::chrono::duration<double>(start - born).count()};
    if (held && rng() % 1000 < held) {
        p.hold = rng() % (holdup + 1);
        p.where = rng() % 3;
        p.point = rng() % (size + 1);
    }
    std::size_t printed = 0, n = 0;
    if (!records) {
        const std::size_t from = r->text.size();
        while (r->text.size() < static_cast<std::size_t>(off) + size && r->next < lines.size())
            r->text += print_line(lines[r->next++], p.at(r->text.size() - from));
        printed = n = static_cast<std::size_t>(off) < r->text.size()
                          ? std::min(size, r->text.size() - off)
                          : 0;
        std::memcpy(buf, r->text.data() + off, n);
    } else {
        // What was printed and not given goes first; then, if it all went,
        // records until the call holds what was asked or the buffer is full.
        n = std::min(r->text.size() - r->given, size);
        std::memcpy(buf, r->text.data() + r->given, n);
        r->given += n;
        if (r->given == r->text.size() && r->next < lines.size()) {
            r->text.clear();
            r->given = 0;
            auto print_record = [&] {
                std::string rec;
                for (std::size_t k = record_lines(r->next); k > 0; --k)
                    rec +=
                        print_line(lines[r->next++], p.at(printed + r->text.size() + rec.size()));
                return rec;
            };
            std::string rec = print_record();
            while (rec.size() > r->buffer)
                r->buffer *= 2;
            r->text = rec;
            while (r->text.size() < size - n && r->next < lines.size()) {
                const std::size_t was = r->next;
                rec = print_record();
                if (r->text.size() + rec.size() > r->buffer) { // printed again next call
                    r->next = was;
                    printed += rec.size();
                    break;
                }
                r->text += rec;
            }
            printed += r->text.size();
            const std::size_t k = std::min(r->text.size(), size - n);
            std::memcpy(buf + n, r->text.data(), k);
            r->given = k;
            n += k;
        }
    }
    std::this_thread::sleep_until(
        start +
        std::chrono::nanoseconds(static_cast<long long>(pace * printed + percall) + p.hold));
    if (calllog) {
        const auto end = clock_type::now();
        std::fprintf(
            calllog, "%lld %zu %zu %lld %lld\n", static_cast<long long>(off), size, n,
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(start - born).count()),
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()));
        std::fflush(calllog);
    }
    return static_cast<int>(n);
}

int release_table(const char *, fuse_file_info *fi) {
    delete reinterpret_cast<reading *>(fi->fh);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    int at = 4;
    if (argc >= 5 && argv[4][0] != '-') percall = std::strtod(argv[at++], nullptr);
    for (; at < argc; ++at) {
        const std::string o = argv[at];
        if (o == "--records")
            records = true;
        else if (o == "--block" && at + 1 < argc)
            block = std::strtoul(argv[++at], nullptr, 10);
        else if (o == "--held" && at + 1 < argc)
            std::sscanf(argv[++at], "%u:%lld", &held, &holdup);
        else if (o == "--log" && at + 1 < argc)
            calllog = std::fopen(argv[++at], "w");
        else
            break;
    }
    if (argc < 4 || at < argc) {
        std::fprintf(stderr,
                     "usage: %s MOUNTPOINT TEMPLATE NS_PER_BYTE [NS_PER_CALL] [--records] "
                     "[--block N] [--held P:NS] [--log FILE]\n",
                     argv[0]);
        return 2;
    }
    std::ifstream f(argv[2]);
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    pace = std::strtod(argv[3], nullptr);
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
