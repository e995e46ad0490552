// Reading the interrupt table: the stream stays open for the whole run and is
// rewound for every pass. Lines are handed out in place from one large chunk
// rather than copied, since a pass over a big machine's table is tens of
// megabytes; a line longer than the line buffer still comes in pieces.

#include "kevrane.h"

#include <algorithm>
#include <cstring>

namespace kevrane {

FILE *fdinp;
std::int64_t linetime;

namespace {

// A read takes as long as the source takes to give what it asks for, and a
// key waits for the read under way: on a large machine the kernel prints
// /proc/interrupts at tens to hundreds of nanoseconds a byte, and a table
// served from elsewhere (FUSE, say) may cost tens of milliseconds a call
// whatever its size. A read's time is taken as a fixed cost per call and a
// cost per byte, and each read asks for what takes read_ns at those costs,
// between a page (below which the calls would cost more than the printing)
// and a megabyte (where a fast kernel's calls, and the moves of a line cut by
// a read, stop mattering). Where the fixed cost alone passes read_ns, a
// smaller read would not shorten a key's wait, and reads are large.
constexpr std::size_t chunksize = 1 << 20;
constexpr std::size_t leastread = 4096;
constexpr std::int64_t read_ns = 4000000;
// Room after the data for the line-end sentinel and for the widest load of
// fields (96 bytes) that starts on the last character of a line.
constexpr std::size_t slack = 128;

std::vector<char> chunk;
std::size_t head; // first character not yet handed out
std::size_t tail; // one past the last character read
bool at_end;      // the stream has nothing more
char *held;       // where the sentinel stands, and what it covers
char heldc;
char *last;                       // the line whose end read_line_from guessed
std::size_t readsize = leastread; // what the next read asks for
// The kernel prints a line whole in the read that reaches its start, and
// what does not fit comes with the next: a line is as old as the read that
// brought its first character. What the last read brought starts at `fresh`
// and that read began at `freshtime`. More is read only when what is left
// holds no line end, so what is before `fresh` is the start of one line,
// which came with a read that began at `oldtime`.
std::size_t fresh;
std::int64_t freshtime, oldtime;

// What a read costs, as the reads so far tell.
struct {
    double percall, perbyte; // ns
    bool apart;              // two reads of unlike sizes have told the two apart
    std::size_t lastsize;    // the read before, and its time
    std::int64_t lastns;
} cost;

// Learns the costs from a read of `got` bytes that took `ns`, and sizes the
// next read by them. Two reads whose sizes are at least twofold apart tell
// the fixed cost from the cost per byte. A read of like size to the one
// before that came slower than the costs say puts the difference on the
// bytes (a busy kernel prints slower); one that came faster makes both
// cheaper alike.
void pace_reads(std::size_t got, std::int64_t ns) {
    const double n = static_cast<double>(got), t = static_cast<double>(ns);
    const double was = static_cast<double>(cost.lastsize);
    if (cost.lastsize && (n >= 2 * was || was >= 2 * n)) {
        cost.perbyte = std::max((t - cost.lastns) / (n - was), 0.0);
        cost.percall = std::max(t - cost.perbyte * n, 0.0);
        cost.apart = true;
    } else if (const double due = cost.percall + cost.perbyte * n; due > 0 && t < due) {
        cost.percall *= t / due;
        cost.perbyte *= t / due;
    } else {
        cost.perbyte = std::max(t - cost.percall, 0.0) / n;
    }
    cost.lastsize = got;
    cost.lastns = ns;
    double want;
    if (cost.percall >= read_ns || cost.perbyte <= 0)
        want = chunksize;
    else
        want = (read_ns - cost.percall) / cost.perbyte;
    // Reads at the least size that still take too long may be paying a fixed
    // cost rather than bytes: a larger one tells which.
    if (want < leastread && !cost.apart && ns > read_ns) want = 4 * leastread;
    // A read grows at most eightfold on the last asked for: costs told wrong
    // by a read that was held up cost one read of that size, not a megabyte's.
    want = std::min(want, 8.0 * std::max(got, readsize));
    readsize = want >= chunksize ? chunksize : std::max(static_cast<std::size_t>(want), leastread);
}

void refill() {
    const std::size_t avail = tail - head;
    std::memmove(chunk.data(), chunk.data() + head, avail);
    if (head >= fresh) oldtime = freshtime;
    head = 0;
    tail = fresh = avail;
    const std::int64_t start = monotonic_ns();
    const std::size_t got = std::fread(chunk.data() + tail, 1, readsize, fdinp);
    tail += got;
    freshtime = start;
    // fread comes back short only at the end of the table or on an error, and
    // an error ends the pass as the end does.
    at_end = got < readsize;
    if (got) pace_reads(got, monotonic_ns() - start);
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
    FILE *f = std::fopen(path, "r");
    if (!f) return false;
    // Each read goes to the kernel as asked for, not cut into the stream's
    // own buffer's pieces.
    std::setvbuf(f, nullptr, _IONBF, 0);
    use_table(f);
    return true;
}

void use_table(FILE *f) {
    fdinp = f;
    if (chunk.empty()) chunk.assign(chunksize + linesize + slack, '\0');
    rewind_table();
}

void rewind_table() {
    std::rewind(fdinp);
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
