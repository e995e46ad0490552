// Reading the interrupt table: the file stays open for the whole run and is
// rewound for every pass. Lines are handed out in place from one large chunk
// rather than copied, since a pass over a big machine's table is tens of
// megabytes; a line longer than the line buffer still comes in pieces.

#include "kevrane.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kevrane {

int fdinp = -1;
std::int64_t linetime;

namespace {

// Each read is one call to the source, and a key waits for the call under
// way. The kernel prints /proc/interrupts as it is read, a line (a record) at
// a time, at tens to hundreds of nanoseconds a byte on a large machine: a
// call prints whole records until it holds what was asked or its buffer (a
// page, or the smallest power of two that holds the longest record) is full,
// and hands out what did not fit at the next call, first. What is asked for
// thus bounds a call's time, down to one record. A table served from
// elsewhere (FUSE, say) may instead cost tens of milliseconds a call
// whatever its size. A call's time is taken as a fixed cost and a cost per
// byte, and each call asks for what takes read_ns at those costs, or twice
// the fixed cost where that is more (a smaller read would hardly shorten a
// wait), between a page and a megabyte.
constexpr std::size_t chunksize = 1 << 20;
constexpr std::size_t leastread = 4096;
constexpr std::int64_t read_ns = 4000000;
// Room after the data for the line-end sentinel and for the widest load of
// fields (96 bytes) that starts on the last character of a line.
constexpr std::size_t slack = 128;

std::vector<char> chunk;
std::size_t head; // first character not yet handed out
std::size_t tail; // one past the last character read
bool at_end;      // the source has nothing more
char *held;       // where the sentinel stands, and what it covers
char heldc;
char *last;                       // the line whose end read_line_from guessed
std::size_t readsize = leastread; // what the next call asks for
// A line is as old as the call that brought its first character: the kernel
// prints a record in the call that first hands out any of it. What the last
// call brought starts at `fresh` and that call began at `freshtime`. More is
// read only when what is left holds no line end, so what is before `fresh`
// is the start of one line, which came with a call that began at `oldtime`.
std::size_t fresh;
std::int64_t freshtime, oldtime;

// The calls that tell what printing costs. A call that followed a rewind, a
// short call or the end printed all it gave. A call after one that gave all
// it asked for may first hand out the rest of a record that one printed, at
// the cost of a copy: it is credited only with what comes after the first
// line end in it, and only if it took at least half what printing that
// would cost at the costs known (a record of many lines is copied over many
// calls, far faster). A call held up by a busy machine only ever looks
// dearer, so each cost is the least the calls kept tell. Small calls, of a
// quarter page or less (the end's call among them), are kept apart, since
// they tell the fixed cost.
struct call_cost {
    std::size_t bytes;
    std::int64_t ns;
};
template <std::size_t N> struct kept_costs {
    std::array<call_cost, N> at;
    std::size_t n, next;
    void add(call_cost c) {
        at[next] = c;
        next = (next + 1) % N;
        n = std::min(n + 1, N);
    }
};
constexpr std::size_t probesize = leastread / 4;
kept_costs<16> large;
kept_costs<8> small;
bool printing; // the next call prints all it gives: nothing is left over
// What the calls so far tell a call costs: its fixed cost and its cost per
// byte printed, ns; -1 before any call has printed bytes.
double callcost, bytecost = -1;

// The next call's size, from bounds that hold at the true costs. A call's
// time per byte bounds the cost per byte from above, since the fixed cost is
// in it too. That bound turns a small call's time into a bound of the fixed
// cost from below (the end's call, of no bytes, tells it whole), and that
// bounds the cost per byte more closely. Each is the least over several
// calls, so a call held up does not move them; a read so sized takes no
// longer than it is allowed.
void size_reads() {
    double perbyte = -1;
    for (std::size_t i = 0; i < large.n; ++i) {
        const double v =
            static_cast<double>(large.at[i].ns) / static_cast<double>(large.at[i].bytes);
        if (perbyte < 0 || v < perbyte) perbyte = v;
    }
    if (perbyte < 0) return; // no call has printed bytes yet: keep the size
    // What each small call says of the fixed cost. The least is believed only
    // where two more small calls say much the same, and no larger call took
    // less: a call held up says more, and three held up seldom agree.
    std::array<double, 3> least{-1, -1, -1};
    for (std::size_t i = 0; i < small.n; ++i) {
        double says =
            static_cast<double>(small.at[i].ns) - perbyte * static_cast<double>(small.at[i].bytes);
        for (double &l : least)
            if (l < 0 || says < l) std::swap(l, says);
    }
    double percall = least[2] >= 0 && least[2] - least[0] <= least[0] / 64 + 20000 ? least[0] : 0;
    for (std::size_t i = 0; i < large.n; ++i)
        if (percall > static_cast<double>(large.at[i].ns)) percall = 0;
    percall = std::max(percall, 0.0);
    callcost = percall;
    bytecost = -1;
    for (std::size_t i = 0; i < large.n; ++i) {
        const double v = std::max(static_cast<double>(large.at[i].ns) - percall, 0.0) /
                         static_cast<double>(large.at[i].bytes);
        if (bytecost < 0 || v < bytecost) bytecost = v;
    }
    const double aim = std::max(static_cast<double>(read_ns), 2 * percall);
    double want = bytecost > 0 ? (aim - percall) / bytecost : static_cast<double>(chunksize);
    // Sizes grow by steps, each tried before the next.
    want = std::min(want, 8.0 * static_cast<double>(readsize));
    readsize = want >= chunksize ? chunksize : std::max(static_cast<std::size_t>(want), leastread);
}

// Calls of the smallest size that take longer than the aim may be paying a
// fixed cost rather than bytes: calls of a quarter that size, which take no
// longer, tell which. A few are made at most while nothing has told it.
bool probe_due() {
    if (readsize != leastread || callcost > 0 || small.n >= 6) return false;
    for (std::size_t i = 0; i < large.n; ++i)
        if (large.at[i].ns > read_ns) return true;
    return false;
}

// Learns from a call that gave `data` and took `ns`.
void learn(const char *data, std::size_t n, std::int64_t ns) {
    if (n <= probesize) {
        small.add({n, ns});
    } else if (printing) {
        large.add({n, ns});
    } else if (const auto nl = static_cast<const char *>(std::memchr(data, '\n', n));
               nl && nl + 1 < data + n && bytecost >= 0) {
        const auto printed = static_cast<std::size_t>(data + n - (nl + 1));
        if (ns < (callcost + bytecost * static_cast<double>(printed)) / 2) return; // copied
        large.add({printed, ns});
    } else {
        return;
    }
    size_reads();
}

void refill() {
    // Keys are looked at between calls, a line that takes several included.
    look_when_due();
    const std::size_t avail = tail - head;
    std::memmove(chunk.data(), chunk.data() + head, avail);
    if (head >= fresh) oldtime = freshtime;
    head = 0;
    tail = fresh = avail;
    const std::size_t ask = probe_due() ? probesize : readsize;
    std::int64_t start;
    ssize_t got;
    do {
        start = monotonic_ns();
        got = ::read(fdinp, chunk.data() + tail, ask);
    } while (got < 0 && errno == EINTR);
    const std::int64_t ns = monotonic_ns() - start;
    freshtime = start;
    // An error ends the pass as the end does.
    const std::size_t n = got > 0 ? static_cast<std::size_t>(got) : 0;
    if (got >= 0) learn(chunk.data() + tail, n, ns);
    tail += n;
    at_end = n == 0;
    printing = n < ask;
}

// Hands out the `len` characters at start, ended by a NUL in place.
char *hand_out(char *start, std::size_t len) {
    linetime = head < fresh ? oldtime : freshtime;
    head += len;
    held = start + len;
    heldc = *held;
    *held = '\0';
    return start;
}

} // namespace

bool open_table(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    use_table(fd);
    return true;
}

// A new source: its costs are learnt afresh.
void use_table(int fd) {
    fdinp = fd;
    if (chunk.empty()) chunk.assign(chunksize + linesize + slack, '\0');
    large = {};
    small = {};
    bytecost = -1;
    callcost = 0;
    readsize = leastread;
    rewind_table();
}

void rewind_table() {
    lseek(fdinp, 0, SEEK_SET);
    printing = true;
    head = tail = fresh = 0;
    at_end = false;
    held = nullptr;
}

// The next line with its line end, or the next piece of a line longer than
// the line buffer, ended by a NUL in place; nullptr at the end of the table.
char *read_line() {
    if (held) *held = heldc;
    held = nullptr;
    const std::size_t most = linesize - 1;
    for (;;) {
        char *start = chunk.data() + head;
        const std::size_t avail = tail - head;
        auto nl = static_cast<char *>(std::memchr(start, '\n', std::min(avail, most)));
        std::size_t len;
        if (nl)
            len = nl - start + 1;
        else if (avail >= most)
            len = most;
        else if (!at_end) {
            refill();
            continue;
        } else if (avail)
            len = avail;
        else
            return nullptr;
        return hand_out(start, len);
    }
}

// The next line as read_line gives it, but with its end searched for only from
// `skip` characters in: the caller expects no line end before that, since the
// line before had its counts there, and finds out while reading the counts.
// A line longer than the line buffer, or the last one without a line end, is
// searched for from the start as usual; `guessed` tells which was done.
char *read_line_from(std::size_t skip, bool &guessed) {
    guessed = false;
    if (held) *held = heldc;
    held = nullptr;
    const std::size_t most = linesize - 1;
    for (;;) {
        char *start = chunk.data() + head;
        const std::size_t avail = tail - head, span = std::min(avail, most);
        if (skip < span)
            if (auto nl = static_cast<char *>(std::memchr(start + skip, '\n', span - skip))) {
                guessed = true;
                last = start;
                return hand_out(start, nl - start + 1);
            }
        // What is here holds a line end, so more is not read: a line that
        // began in an earlier read then stands alone before the next.
        if (avail >= most || at_end || std::memchr(start, '\n', std::min(skip, span)))
            return read_line();
        refill();
    }
}

// Takes back the line read_line_from guessed the end of and gives it again,
// its end now searched for from its start.
char *reread_line() {
    *held = heldc;
    held = nullptr;
    head = last - chunk.data();
    return read_line();
}

} // namespace kevrane
