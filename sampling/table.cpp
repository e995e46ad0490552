// Reading the interrupt table: the file stays open for the whole run and is
// rewound for every pass. Lines are handed out in place from one large chunk
// rather than copied, since a pass over a big machine's table is tens of
// megabytes; a line longer than the line buffer still comes in pieces. Each
// line is stamped with when the kernel printed it, which the kernel's way of
// printing the table a record at a time tells.

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
// way. The kernel prints /proc/interrupts as it is read, a record at a time,
// at tens to hundreds of nanoseconds a byte on a large machine: a call first
// hands out what the call before printed and did not give; if that was all
// of it, it prints at least one more record, then whole records until it
// holds what was asked or its buffer (a page, or the smallest power of two
// that holds the longest record) is full; what did not fit goes out first at
// the next call. A record is a numbered line (the header comes with irq 0's),
// or the lines after them, which the architecture prints as one (x86's
// per-CPU lines, arm64's IPIs). What is asked for thus bounds a call's time,
// down to one record. A table served from elsewhere (FUSE, say) may instead
// cost tens of milliseconds a call whatever its size. A call's time is taken
// as a fixed cost and a cost per byte, and each call asks for what takes
// read_ns at those costs, or twice the fixed cost where that is more (a
// smaller read would hardly shorten a wait), between a page and a megabyte.
constexpr std::size_t chunksize = 1 << 20;
constexpr std::size_t leastread = 4096;
constexpr std::int64_t read_ns = 4000000;
// Room after the data for the line-end sentinel and for the widest load of
// fields (96 bytes) that starts on the last character of a line.
constexpr std::size_t slack = 128;

std::vector<char> chunk;
std::size_t base; // where chunk[0] stands in the table
std::size_t head; // first character not yet handed out
std::size_t tail; // one past the last character read
bool at_end;      // the source has nothing more
char *held;       // where the sentinel stands, and what it covers
char heldc;
char *last;                       // the line whose end read_line_from guessed
std::size_t readsize = leastread; // what the next call asks for

// A read call, and where the bytes it gave stand in the table.
constexpr std::size_t unknown = SIZE_MAX;
struct call_made {
    std::size_t begin, end;
    std::int64_t start, ns; // when it began, and how long it took
    // Where what it printed begins: after what it handed out of a record
    // printed before it; unknown while no record has begun in it.
    std::size_t prints;
    bool full; // it gave all it was asked for
};
// The calls whose bytes are not all handed out, and the one before them.
std::vector<call_made> calls;

// The record under way, as far as the lines handed out tell: the kind of
// the line last begun, and the call that printed the record.
enum line_kind { header_line, numbered_line, other_line };
struct record_state {
    bool linestart = true; // the next byte handed out begins a line
    line_kind kind = header_line;
    call_made by{};
};
record_state rec, rec_before; // and as it was before the last line handed out

// The calls that tell what printing costs. A call that followed a rewind, a
// short call or the end printed all it gave. A call after one that gave all
// it asked for first hands out the rest of a record printed before it, at
// the cost of a copy: it is credited only with the bytes from where the
// next record begins, which it printed itself; a call that hands out only
// the rest of a record (x86's per-CPU lines take many) teaches nothing. A
// call held up by a busy machine only ever looks dearer, so each cost is the
// least the calls kept tell. Small calls, of a quarter page or less (the
// end's call among them), are kept apart, since they tell the fixed cost.
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
constexpr std::size_t smallkept = 8;
kept_costs<16> large;
kept_costs<smallkept> small;
bool printing; // the next call prints all it gives: nothing is left over
// What the calls so far tell a call costs: its fixed cost and its cost per
// byte printed, ns; -1 before any call has printed bytes.
double callcost, bytecost = -1;
// A call that prints records longer than it gives costs more a byte given
// than a byte printed: such calls size the reads safely, but would date the
// lines late. Lines are dated at what calls cost a byte printed, all of it,
// which the end of the last record each printed tells; until then the call
// whose printing is under way stays unclosed.
kept_costs<16> whole;
double pace = -1;
call_made unclosed{};
bool is_open;

void find_pace() {
    pace = -1;
    for (std::size_t i = 0; i < whole.n; ++i) {
        const double v = std::max(static_cast<double>(whole.at[i].ns) - callcost, 0.0) /
                         static_cast<double>(whole.at[i].bytes);
        if (pace < 0 || v < pace) pace = v;
    }
}

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
    // less: a call held up says more, and three held up seldom agree. Calls
    // that gave nothing (the end's) say it as it is, and are asked alone
    // where the others say less than they do.
    double percall = 0;
    for (const bool empty : {false, true}) {
        std::array<double, smallkept> says; // in order
        std::size_t n = 0;
        for (std::size_t i = 0; i < small.n; ++i) {
            if (empty && small.at[i].bytes) continue;
            const double v = static_cast<double>(small.at[i].ns) -
                             perbyte * static_cast<double>(small.at[i].bytes);
            std::size_t k = n++;
            for (; k > 0 && says[k - 1] > v; --k)
                says[k] = says[k - 1];
            says[k] = v;
        }
        if (n >= 3 && says[2] - says[0] <= std::abs(says[0]) / 64 + 20000) {
            percall = says[0];
            break;
        }
    }
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
    find_pace();
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

// Learns from a call that gave `n` bytes, all of which it printed when it
// followed a rewind, a short call or the end, and took `ns`.
void learn(std::size_t n, std::int64_t ns, bool printed) {
    if (n <= probesize)
        small.add({n, ns});
    else if (printed)
        large.add({n, ns});
    else
        return;
    size_reads();
}

void refill() {
    // Keys are looked at between calls, a line that takes several included.
    look_when_due();
    const std::size_t avail = tail - head;
    std::memmove(chunk.data(), chunk.data() + head, avail);
    base += head;
    head = 0;
    tail = avail;
    while (calls.size() > 1 && calls[1].end <= base)
        calls.erase(calls.begin());
    const std::size_t ask = probe_due() ? probesize : readsize;
    std::int64_t start;
    ssize_t got;
    do {
        start = monotonic_ns();
        got = ::read(fdinp, chunk.data() + tail, ask);
    } while (got < 0 && errno == EINTR);
    const std::int64_t ns = monotonic_ns() - start;
    // An error ends the pass as the end does.
    const std::size_t n = got > 0 ? static_cast<std::size_t>(got) : 0;
    const std::size_t at = base + tail;
    calls.push_back({at, at + n, start, ns, printing ? at : unknown, n == ask});
    if (got >= 0) learn(n, ns, printing);
    tail += n;
    at_end = n == 0;
    printing = n < ask;
}

// A line the kernel prints for an irq: its label is the irq's number.
// `zero`: that number is 0.
bool numbered(const char *p, const char *end, bool &zero) {
    while (p < end && *p == ' ')
        ++p;
    const char *digits = p;
    while (p < end && *p >= '0' && *p <= '9')
        ++p;
    zero = p - digits == 1 && *digits == '0';
    return p > digits && p < end && *p == ':';
}

// The call that printed the record that begins at `at`: the one that gave
// its first byte, unless that one's first byte it is, and the call before
// handed out only the rest of a record printed earlier, all it was asked
// for: that one then went on to print this record, all of it left over.
// The first record begun in a call shows where what it printed begins, and
// the call is credited with that much.
call_made printer(std::size_t at) {
    std::size_t i = 0;
    while (i + 1 < calls.size() && calls[i].end <= at)
        ++i;
    call_made &c = calls[i];
    if (i > 0 && at == c.begin) {
        call_made was = calls[i - 1];
        if (was.full && was.prints == unknown && was.end == at) {
            was.prints = at;
            return was;
        }
    }
    if (c.prints == unknown) {
        c.prints = at;
        if (c.end - at > probesize) {
            large.add({c.end - at, c.ns});
            size_reads();
        }
    }
    return c;
}

// A record begins at `at`: the unclosed call printed up to there, if `at` is
// past what it gave.
void close_printing(std::size_t at) {
    if (!is_open || at < unclosed.end || at == unclosed.prints) return;
    is_open = false;
    whole.add({at - unclosed.prints, unclosed.ns});
    find_pace();
}

// A line begins at `at`: it goes on the record under way (the header's, for
// irq 0's line; the one of the lines after the numbered ones), or begins one.
void begin_line(const char *line, std::size_t len, std::size_t at) {
    bool zero = false;
    const line_kind kind = at == 0                            ? header_line
                           : numbered(line, line + len, zero) ? numbered_line
                                                              : other_line;
    const bool goes_on = kind == numbered_line ? rec.kind == header_line && zero
                                               : kind == other_line && rec.kind == other_line;
    rec.kind = kind;
    if (goes_on) return;
    close_printing(at);
    rec.by = printer(at);
    if (!is_open || rec.by.begin != unclosed.begin) unclosed = rec.by, is_open = true;
}

// When the line at `at` was printed: where its call began, and the bytes that
// call printed before it at what a byte printed has cost. A call that took
// longer than its printing and fixed cost tell was held up, before, during
// or after printing; the middle of that is taken, which is at most half the
// hold-up away. Bytes the call printed past what is known yet look like a
// hold-up too; they are as many in every pass.
std::int64_t printed_at(std::size_t at, std::size_t len) {
    const call_made &c = rec.by;
    const double perbyte = std::max(pace, 0.0);
    const double known = static_cast<double>(std::max(c.end, at + len) - c.prints);
    const double held_up = std::max(static_cast<double>(c.ns) - callcost - perbyte * known, 0.0);
    const double t = perbyte * static_cast<double>(at - c.prints) + held_up / 2;
    return c.start + static_cast<std::int64_t>(std::min(t, static_cast<double>(c.ns)));
}

// Hands out the `len` characters at start, ended by a NUL in place.
char *hand_out(char *start, std::size_t len) {
    const std::size_t at = base + (start - chunk.data());
    rec_before = rec;
    if (rec.linestart) begin_line(start, len, at);
    rec.linestart = start[len - 1] == '\n';
    linetime = printed_at(at, len);
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
    whole = {};
    pace = -1;
    bytecost = -1;
    callcost = 0;
    readsize = leastread;
    rewind_table();
}

void rewind_table() {
    lseek(fdinp, 0, SEEK_SET);
    printing = true;
    base = head = tail = 0;
    at_end = false;
    held = nullptr;
    calls.clear();
    rec = {};
    is_open = false;
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
            return close_printing(base + head), nullptr;
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
    rec = rec_before;
    return read_line();
}

} // namespace kevrane
