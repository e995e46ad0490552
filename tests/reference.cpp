#include "reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <unistd.h>

namespace kevrane::reference {

namespace {

// The source: the table served, where its reader stands, the read calls so
// far and what they printed, its pace and the clock it runs on.
struct {
    int fd = -1;
    const std::string *table;
    std::size_t at;     // the next byte to print
    std::size_t given;  // bytes given since the rewind
    std::size_t left;   // printed and not yet given, before `at`
    std::size_t buffer; // what one call prints at most, if in records
    std::vector<read_call> calls;
    std::vector<print_span> spans;
    std::int64_t lastns;          // what the call before took
    std::size_t rec_at, rec_next; // the record under way, as a plain source gives it
    reference::pace pace;
    std::mt19937 rng{5};
    std::int64_t now = 1000000000000;
    std::int64_t looked; // when the keyboard was last looked at
    bool on;             // the program's monotonic clock is this one
} served;

// A line the kernel prints for an irq, its label the number; `zero`: irq 0's.
bool numbered_at(const std::string &t, std::size_t at, bool &zero) {
    while (at < t.size() && t[at] == ' ')
        ++at;
    const std::size_t digits = at;
    while (at < t.size() && t[at] >= '0' && t[at] <= '9')
        ++at;
    zero = at - digits == 1 && t[digits] == '0';
    return at > digits && at < t.size() && t[at] == ':';
}

// Where the record that begins at `from` ends: a numbered line; the header
// with irq 0's line; or the lines that are not numbered, all together.
std::size_t record_end(const std::string &t, std::size_t from) {
    auto line_end = [&](std::size_t at) {
        const std::size_t nl = t.find('\n', at);
        return nl == std::string::npos ? t.size() : nl + 1;
    };
    std::size_t end = line_end(from);
    bool zero;
    if (from == 0) {
        if (end < t.size() && numbered_at(t, end, zero) && zero) end = line_end(end);
    } else if (!numbered_at(t, from, zero)) {
        while (end < t.size() && !numbered_at(t, end, zero))
            end = line_end(end);
    }
    return end;
}

// One call, as the kernel's sequence files serve one when in records: what
// the last call printed and did not give goes first; then, if that was all
// of it, whole records until the call holds what was asked or the buffer is
// full, and at least one, even with nothing of the ask left, for which the
// buffer doubles as long as it does not fit. Otherwise every byte asked for
// is printed. The call costs its bytes printed, then its fixed cost; it may
// be held up before, during or after printing.
std::size_t read_served(char *to, std::size_t size) {
    const std::string &t = *served.table;
    const std::int64_t start = served.now;
    std::int64_t hold = 0;
    int where = 2; // before, during, after
    std::size_t point = 0;
    if (served.pace.held && served.rng() % 1000 < served.pace.held) {
        hold = served.rng() % (served.pace.holdup + 1);
        where = served.rng() % 3;
        point = served.rng() % (size + 1);
    }
    const std::size_t from = served.at;
    std::size_t printed = 0, n = 0;
    if (!served.pace.records) {
        printed = n = std::min(size, t.size() - served.at);
        served.at += n;
    } else {
        n = std::min(served.left, size);
        served.left -= n;
        if (!served.left && served.at < t.size()) {
            auto record = [&](std::size_t at) { return record_end(t, at) - at; };
            while (record(served.at) > served.buffer)
                served.buffer *= 2;
            do
                printed += record(served.at + printed);
            while (printed < size - n && served.at + printed < t.size() &&
                   printed + record(served.at + printed) <= served.buffer);
            served.at += printed;
            const std::size_t k = std::min(printed, size - n);
            n += k;
            served.left = printed - k;
        }
    }
    std::memcpy(to, t.data() + served.given, n);
    const std::int64_t ns =
        served.pace.percall + served.pace.perbyte * static_cast<std::int64_t>(printed) + hold;
    print_span span{from,
                    from + printed,
                    start,
                    served.pace.perbyte,
                    where == 0 ? hold : 0,
                    where == 1 ? point : SIZE_MAX,
                    where == 1 ? hold : 0,
                    ns + served.lastns};
    // A plain source gives a record of many lines over several calls, and a
    // reader that takes it for the kernel's may date its lines as early as
    // the call before the one that gave the record's first byte.
    while (!served.pace.records && printed && served.rec_next <= from)
        served.rec_next = record_end(t, served.rec_at = served.rec_next);
    if (!served.pace.records && printed && served.rec_at < from) {
        std::size_t i = 0;
        while (i < served.calls.size() && served.calls[i].end <= served.rec_at)
            ++i;
        const std::int64_t since = served.calls[i > 0 ? i - 1 : 0].start;
        print_span cont = span;
        cont.to = std::min(served.rec_next, from + printed);
        cont.near = start + ns - since;
        served.spans.push_back(cont);
        if (cont.to - from >= span.point) { // held up within what went on the record before
            span.before += span.during;
            span.during = 0;
        } else {
            span.point -= cont.to - from;
        }
        span.start += served.pace.perbyte * static_cast<std::int64_t>(cont.to - from);
        span.from = cont.to;
    }
    if (span.from < span.to) served.spans.push_back(span);
    served.given += n;
    served.calls.push_back({served.given, start, size, start - served.looked});
    served.lastns = ns;
    served.now += ns;
    return n;
}

const char *const texts[7] = {"  timer", " callfunc", " resched",    " dashboard",
                              " dmar",   " aerdrv",   " QF-CORE-KZP"};
constexpr std::int64_t huge_count = std::int64_t{1} << 40;

constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();

// Sums and differences stop at the 64-bit limits, as the program's do.
std::int64_t sum(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    return __builtin_add_overflow(a, b, &r) ? (b > 0 ? top : -top - 1) : r;
}

std::int64_t difference(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    return __builtin_sub_overflow(a, b, &r) ? (b < 0 ? top : -top - 1) : r;
}

// A label that runs straight into its first count ("IPI0:2768808080"): where
// that count starts, or nullptr.
const char *glued(const char *label) {
    const unsigned char *colon = reinterpret_cast<const unsigned char *>(label);
    while (*colon > ' ' && *colon != ':')
        ++colon;
    if (*colon != ':') return nullptr;
    const unsigned char next = colon[1];
    return next > ' ' && next != 0x7f ? reinterpret_cast<const char *>(colon) + 1 : nullptr;
}

// What comes before the colon in the line's first word, or nothing.
void label_of(const char *line, std::string &label) {
    label.clear();
    while (*line == ' ')
        ++line;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(line);
    for (std::size_t n = 0; p[n] > ' '; ++n)
        if (p[n] == ':') {
            label.assign(line, n);
            return;
        }
}

// Each header label's CPU number: its trailing digits, or its place.
void header_numbers(const char *line, std::vector<long> &out) {
    out.clear();
    std::size_t end = std::strlen(line);
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r'))
        --end;
    for (std::size_t i = 0; i < end;) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        const std::size_t b = i;
        while (i < end && line[i] != ' ')
            ++i;
        std::size_t d = i;
        while (d > b && line[d - 1] >= '0' && line[d - 1] <= '9')
            --d;
        if (d == i) {
            out.push_back(static_cast<long>(out.size()));
            continue;
        }
        long n = 0;
        for (std::size_t k = d; k < i; ++k)
            if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, line[k] - '0', &n)) {
                n = std::numeric_limits<long>::max();
                break;
            }
        out.push_back(n);
    }
}

// What a count that went from `was` to `now` adds: the rise; round past 2^32
// for a 32-bit count that wrapped; otherwise what came since a restart.
std::int64_t step_of(std::int64_t was, std::int64_t now) {
    const std::int64_t wrap = std::int64_t{1} << 32;
    if (now >= was) return difference(now, was);
    if (now >= 0 && was < wrap && was - now > wrap / 2) return now - was + wrap;
    return now > 0 ? now : 0;
}

} // namespace

void serve(const std::string &table, const pace &p) {
    const bool anew = served.fd < 0 || !(p == served.pace);
    if (served.fd < 0) served.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (served.fd < 0) std::abort();
    served.table = &table;
    served.at = served.given = served.left = 0;
    served.calls.clear();
    served.spans.clear();
    served.lastns = 0;
    served.rec_at = served.rec_next = 0;
    served.on = true;
    // Another source, whose costs the reader learns afresh.
    if (anew) {
        served.pace = p;
        served.buffer = 4096;
        use_table(served.fd);
    }
}

const std::vector<read_call> &calls() {
    return served.calls;
}

const std::vector<print_span> &printed() {
    return served.spans;
}

void let_time_pass(std::int64_t ns) {
    served.now += ns;
}

int model::add_source(const char *line) {
    int text = -1;
    auto holds = [&](const char *t) {
        for (const char *p = line; *p; ++p) {
            std::size_t k = 0;
            while (t[k] && p[k] == t[k])
                ++k;
            if (!t[k]) return true;
        }
        return false;
    };
    for (int i = 0; merge && i < 7 && text < 0; ++i)
        if (holds(texts[i])) text = i;
    int row = text >= 0 ? merged[text] : -1;
    if (row < 0) {
        row = rows++;
        if (text >= 0) merged[text] = row;
    }
    sources.push_back({row, false, false, 0});
    read_at.push_back(0);
    step_at.push_back(-1);
    near.push_back(0);
    for (auto *v : {&last, &since, &step})
        v->resize(v->size() + cpus.size());
    return static_cast<int>(sources.size()) - 1;
}

// The columns move to where `grown`, the CPUs with the new ones among them in
// number order, puts them; the new ones start at 0 and are marked fresh.
void model::add_columns(const std::vector<long> &grown, std::vector<char> &fresh) {
    const std::size_t was = cpus.size(), now = grown.size();
    static std::vector<std::size_t> place;
    place.clear();
    for (std::size_t c = 0, n = 0; c < was; ++c, ++n) {
        while (grown[n] != cpus[c])
            ++n;
        place.push_back(n);
    }
    fresh.assign(now, 1);
    for (std::size_t c : place)
        fresh[c] = 0;
    static std::vector<std::int64_t> moved;
    for (auto *v : {&last, &since, &step}) {
        moved.assign(sources.size() * now, 0);
        for (std::size_t i = 0; i < sources.size(); ++i)
            for (std::size_t c = 0; c < was; ++c)
                moved[i * now + place[c]] = (*v)[i * was + c];
        v->swap(moved);
    }
    cpus = grown;
}

void model::start(const std::string &table, bool merging, const std::vector<print_span> &when) {
    merge = merging;
    passes = reads = rows = 0;
    cpus.clear();
    sources.clear();
    last.clear();
    since.clear();
    step.clear();
    read_at.clear();
    step_at.clear();
    near.clear();
    row_at.clear();
    row_was.clear();
    row_bound.clear();
    row_off.clear();
    // The labels' entries stay, emptied, for the next table to use: the fuzz
    // target starts a model tens of thousands of times a second.
    if (labels.size() > 4096) labels.clear();
    ++starts;
    std::fill(std::begin(merged), std::end(merged), -1);
    // The scan is the first sample, and the baseline: everything counts from here.
    read(table, true, when);
    passes = 1;
}

void model::pass(const std::string &table, const std::vector<print_span> &when) {
    read(table, false, when);
    ++passes;
}

void model::read(const std::string &table, bool scan, const std::vector<print_span> &when) {
    static std::vector<char> buf(linesize);
    // The next line as fgets reads it into a buffer of the program's line size:
    // through its line end, or as much as fits; `begun` is where it starts.
    std::size_t at = 0, begun = 0;
    auto next_line = [&] {
        begun = at;
        if (at >= table.size()) return false;
        std::size_t n = std::min<std::size_t>(table.size() - at, linesize - 1);
        if (const void *nl = std::memchr(table.data() + at, '\n', n))
            n = static_cast<const char *>(nl) - (table.data() + at) + 1;
        std::memcpy(buf.data(), table.data() + at, n);
        buf[n] = '\0';
        at += n;
        return true;
    };
    const bool counting = passes > 0;
    ++reads;
    // Kept between calls: the fuzz target reads tens of thousands of tables a second.
    static std::vector<char> fresh, seen, got;
    static std::vector<std::int64_t> step_off; // [source]: how far off its step may be read
    static std::vector<int> cols;              // field i -> column, or -1
    static std::vector<long> numbers;
    static std::vector<std::int64_t> now;
    static std::string label;
    fresh.assign(cpus.size(), 0);
    seen.assign(sources.size(), 0);
    cols.clear();
    // A line is as old as the moment its first character was printed.
    std::size_t span = 0;
    auto printed_at = [&](std::int64_t &off) {
        while (span + 1 < when.size() && when[span].to <= begun)
            ++span;
        if (when.empty()) return off = 0, std::int64_t{0};
        off = when[span].near;
        return when[span].time(begun);
    };
    for (int index = -1; next_line();) {
        if (++index == 0) {
            header_numbers(buf.data(), numbers);
            if (scan) cpus = numbers;
            static std::vector<long> grown;
            grown = cpus;
            for (long cpu : numbers)
                if (std::find(grown.begin(), grown.end(), cpu) == grown.end())
                    grown.insert(
                        std::find_if(grown.begin(), grown.end(), [&](long c) { return c > cpu; }),
                        cpu);
            if (grown.size() > cpus.size()) add_columns(grown, fresh);
            for (std::size_t i = 0; i < numbers.size(); ++i) {
                const auto at = std::find(cpus.begin(), cpus.end(), numbers[i]);
                cols.push_back(numbers == cpus ? static_cast<int>(i)
                                               : static_cast<int>(at - cpus.begin()));
            }
            continue;
        }
        label_of(buf.data(), label);
        auto &l = labels[label];
        if (l.start != starts) l.start = starts, l.ids.clear(), l.read = -1;
        if (l.read != reads) l.read = reads, l.met = 0;
        const unsigned k = l.met++;
        if (k == l.ids.size()) l.ids.push_back(add_source(buf.data()));
        const int id = l.ids[k];
        source &s = sources[id];
        if (seen.size() < sources.size()) seen.resize(sources.size());
        seen[id] = 1;
        std::int64_t off;
        const std::int64_t at = printed_at(off);
        step_at[id] = counting && s.counted ? at - read_at[id] : -1;
        if (step_off.size() < sources.size()) step_off.resize(sources.size());
        step_off[id] = off + near[id];
        near[id] = off;
        read_at[id] = at;

        const std::size_t n = cpus.size();
        now.assign(n, 0);
        got.assign(n, 0);
        const char *p = buf.data();
        while (*p == ' ')
            ++p;
        const char *first = glued(p);
        for (std::size_t i = 0; i < cols.size(); ++i) {
            if (i == 0 && first) {
                p = first;
            } else {
                p = std::strchr(p, ' ');
                if (!p) break;
                while (*p == ' ')
                    ++p;
            }
            const std::int64_t v = std::strtoll(p, nullptr, 10);
            const int c = cols[i];
            if (c < 0 || c >= static_cast<int>(n)) continue;
            now[c] = v;
            got[c] = 1;
            s.huge |= v >= huge_count || v <= -huge_count;
        }
        std::int64_t *was = last.data() + id * n, *in = step.data() + id * n;
        std::int64_t total = 0;
        for (std::size_t c = 0; c < n; ++c) {
            if (!got[c]) now[c] = was[c];
            total = sum(total, now[c]);
            in[c] = counting && s.counted && !fresh[c] ? step_of(was[c], now[c]) : 0;
            since[id * n + c] = sum(since[id * n + c], in[c]);
            was[c] = now[c];
        }
        s.total = total;
        s.counted = true;
    }
    const std::size_t n = cpus.size();
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (i >= seen.size() || !seen[i]) std::fill_n(step.begin() + i * n, n, 0);
    // Each row's time moves on by the mean of what its lines' times moved on
    // by, over the lines this read saw that had a reading before: the lines
    // its counts moved by. A row with none has the mean of its lines' times
    // that this read saw, from the earliest; a row with no line seen keeps its
    // time, as it keeps its counts.
    row_at.resize(rows);
    row_was = row_at;
    row_bound.resize(rows);
    row_off.assign(rows, 0);
    static std::vector<std::int64_t> least, sum, lines, steps, stepsum, nowoff, stepoff;
    for (auto *v : {&least, &sum, &lines, &steps, &stepsum, &nowoff, &stepoff})
        v->assign(rows, 0);
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (i < seen.size() && seen[i]) {
            const int r = sources[i].row;
            least[r] = lines[r]++ ? std::min(least[r], read_at[i]) : read_at[i];
            if (step_at[i] >= 0) ++steps[r], stepsum[r] += step_at[i];
            nowoff[r] = std::max(nowoff[r], near[i]);
            if (step_at[i] >= 0) stepoff[r] = std::max(stepoff[r], step_off[i]);
        }
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (i < seen.size() && seen[i]) sum[sources[i].row] += read_at[i] - least[sources[i].row];
    // How far off the program may take them, knowing only its calls.
    for (int r = 0; r < rows; ++r)
        if (steps[r]) {
            row_at[r] = row_was[r] + stepsum[r] / steps[r];
            row_off[r] = stepoff[r];
            row_bound[r] += stepoff[r];
        } else if (lines[r]) {
            row_at[r] = least[r] + sum[r] / lines[r];
            row_off[r] = nowoff[r] + row_bound[r];
            row_bound[r] = nowoff[r];
        }
}

std::string model::differences(int cur, int prev, double within) const {
    if (numirqs != rows || cpunum != cpus)
        return "shape: " + std::to_string(numirqs) + " rows and " + std::to_string(numcpus) +
               " columns, want " + std::to_string(rows) + " and " + std::to_string(cpus.size());
    const int n = numcpus;
    const std::size_t w = n + 1;
    // Each row: the sum of its sources, in the order they were met; the total last.
    static std::vector<std::int64_t> boot, from_start, from_last;
    static std::vector<char> huge;
    boot.assign(rows * w, 0);
    from_start.assign(rows * w, 0);
    from_last.assign(rows * w, 0);
    huge.assign(rows, 0);
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const std::size_t r = sources[i].row;
        huge[r] |= sources[i].huge;
        for (int c = 0; c < n; ++c) {
            const std::size_t at = i * n + c;
            boot[r * w + c] = sum(boot[r * w + c], last[at]);
            for (int to : {c, n}) {
                from_start[r * w + to] = sum(from_start[r * w + to], since[at]);
                from_last[r * w + to] = sum(from_last[r * w + to], step[at]);
            }
        }
        boot[r * w + n] = sum(boot[r * w + n], sources[i].total);
    }
    for (int r = 0; r < rows; ++r) {
        // Per second is what came since the last pass over the time between
        // the moments the row's lines were printed, none for a row not read
        // before. The program knows only its read calls: its time is as near
        // as they allow, or as asked. In nanoseconds: i386 may keep one of
        // two like doubles in wider registers.
        const std::int64_t want = row_was[r] ? row_at[r] - row_was[r] : 0;
        const std::int64_t got =
            prev >= 0 && rowtime[prev][r] ? rowtime[cur][r] - rowtime[prev][r] : 0;
        const double off =
            within > 0 ? within * static_cast<double>(want) : static_cast<double>(row_off[r]);
        if (prev >= 0 && std::abs(static_cast<double>(got - want)) > off)
            return "the interval of row " + std::to_string(r) + " (" + irqnames[r] +
                   ") is off: want " + std::to_string(want) + " ns, within " +
                   std::to_string(static_cast<std::int64_t>(off)) + ", program " +
                   std::to_string(got);
        for (int c = 0; c <= n; ++c) {
            const struct {
                const char *what;
                int ref;
                std::int64_t want;
            } checks[] = {{"since boot", -1, boot[r * w + c]},
                          {"since start", passes >= 1 ? 2 : -2, from_start[r * w + c]},
                          {"since the last pass", prev >= 0 ? prev : -2, from_last[r * w + c]}};
            for (const auto &k : checks) {
                if (k.ref == -2) continue;
                // Since boot is the newest sample as read.
                const std::int64_t got = k.ref >= 0 ? shown_count(cur, k.ref, r, c)
                                         : c < n    ? count_at(cur, r, c)
                                                    : irqtotals[cur][r];
                // Counts too large for exact sums are only checked for their sign.
                if (k.ref < 0 || !huge[r] ? got == k.want : got >= 0) continue;
                return std::string("counts ") + k.what + " differ at row " + std::to_string(r) +
                       " (" + irqnames[r] + "), column " + std::to_string(c) + " of " +
                       std::to_string(n) + ": want " + std::to_string(k.want) + ", program " +
                       std::to_string(got);
            }
        }
    }
    return {};
}

namespace {

struct span {
    std::size_t begin, end;
};

// The words of a line, separated by blanks.
const std::vector<span> &words(const std::string &line) {
    static std::vector<span> w;
    w.clear();
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        const std::size_t b = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        w.push_back({b, i});
    }
    return w;
}

bool all_digits(const std::string &line, span s) {
    for (std::size_t i = s.begin; i < s.end; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    return s.end > s.begin;
}

// Field f of the line, from just after the blank that follows the word
// before it: the ten columns of a kernel count.
span field_of(const std::vector<span> &w, std::size_t f) {
    return {w[f - 1].end + 1, w[f].end};
}

// A count in its field's width, as the kernel prints it.
std::string in_field(const std::string &t, std::size_t width = 10) {
    return t.size() < width ? std::string(width - t.size(), ' ') + t : t;
}

std::string in_field(std::uint64_t v, std::size_t width = 10) {
    return in_field(std::to_string(v), width);
}

void set_label(std::string &line, const std::string &label) {
    const auto &w = words(line);
    if (w.empty()) {
        line = label + ":" + line;
        return;
    }
    const auto colon = line.find(':', w[0].begin);
    if (colon != std::string::npos && colon < w[0].end)
        line.replace(w[0].begin, colon - w[0].begin, label);
    else
        line.insert(w[0].begin, label + ": ");
}

// Counts a kernel prints, and a few no kernel prints but a table in its place
// may: negative, past 64 bits.
std::string count_from(unsigned b) {
    switch (b % 9) {
    case 0: return std::to_string(4294967295u - b / 9); // just below the wrap
    case 1: return std::to_string(b / 9);               // small: after a wrap or a restart
    case 2: return std::to_string(2147483648u + b);     // half way round
    case 3: return std::to_string(4294967296u + b);     // past 32 bits
    case 4: return "4294967000";
    case 5: return "-" + std::to_string(b / 9);
    case 6: return "9999999999";
    case 7: return std::string(20, '9');
    }
    return "0";
}

} // namespace

void edit(std::string &table, const std::uint8_t *&ops, const std::uint8_t *end, bool runs) {
    auto next = [&]() -> unsigned { return ops < end ? *ops++ : 0; };
    // Kept between calls, strings and all, as they are rewritten tens of
    // thousands of times a second under the fuzzer.
    static std::vector<std::string> lines;
    static std::string moved;
    std::size_t count = 0;
    for (std::size_t at = 0; at < table.size(); ++count) {
        const std::size_t nl = std::min(table.find('\n', at), table.size());
        if (count == lines.size()) lines.emplace_back();
        lines[count].assign(table, at, nl - at);
        at = nl + 1;
    }
    lines.resize(count);
    const bool ends = !table.empty() && table.back() == '\n';
    if (lines.empty()) lines.emplace_back();
    const char *const labels[] = {"0", "1", "7", "27", "NMI", "LOC", "IPI0", "ERR", ""};
    // A few edits a table: the kernel rewrites little between two samples.
    for (int edits = 0; edits < 8 && ops < end; ++edits) {
        const unsigned op = next() % 11;
        if (op == 9) break;
        const std::size_t n = lines.size();
        auto pick = [&] { return n > 1 ? 1 + next() % (n - 1) : 0; };
        switch (op) {
        case 0: // a line vanishes
            if (n > 1) lines.erase(lines.begin() + pick());
            break;
        case 1: // a line appears, like another but with a label of its own
            moved = lines[pick()];
            set_label(moved, "N" + std::to_string(next()));
            lines.insert(lines.begin() + 1 + next() % n, moved);
            break;
        case 2: { // a line moves
            const std::size_t from = pick();
            moved.swap(lines[from]);
            lines.erase(lines.begin() + from);
            lines.insert(lines.begin() + (lines.empty() ? 0 : 1 + next() % lines.size()), moved);
            break;
        }
        case 3: // a line takes another label, perhaps one that is already there
            set_label(lines[pick()], labels[next() % std::size(labels)]);
            break;
        case 4: { // one count jumps: near the wrap, just past it, beyond 32 bits,
                  // perhaps on a CPU the line never counted on
            std::string &l = lines[pick()];
            const auto &w = words(l);
            const std::size_t run = next() % 8;
            const std::size_t f = 1 + run * (1 + next() % 8);
            if (f < w.size() && all_digits(l, w[f])) {
                const span at = field_of(w, f);
                l.replace(at.begin, at.end - at.begin,
                          in_field(count_from(next()), at.end - at.begin));
            }
            break;
        }
        case 5:   // a line restarts from small counts
        case 8: { // or all its counts grow
            std::string &l = lines[pick()];
            const unsigned b = next();
            const auto &w = words(l);
            for (std::size_t f = w.size(); f-- > 1;)
                if (all_digits(l, w[f])) {
                    const std::uint64_t was = std::strtoull(l.c_str() + w[f].begin, nullptr, 10);
                    const span at = field_of(w, f);
                    l.replace(at.begin, at.end - at.begin,
                              in_field(op == 5 ? b % 4 : was + b, at.end - at.begin));
                }
            break;
        }
        case 6: { // a CPU comes online: a head and a count in every line
            const std::size_t at = next() % 8;
            const std::string head = "CPU" + std::to_string(next() % 24);
            const auto &h = words(lines[0]);
            if (at < h.size())
                lines[0].insert(h[at].begin, head + std::string(11 - head.size(), ' '));
            else
                lines[0] += (lines[0].empty() || lines[0].back() == ' ' ? "" : " ") + head;
            const unsigned v = next();
            for (std::size_t i = 1; i < lines.size(); ++i) {
                const auto &w = words(lines[i]);
                if (at + 1 < w.size())
                    lines[i].insert(field_of(w, at + 1).begin, in_field(v) + " ");
            }
            break;
        }
        case 10: { // a line of eight to sixteen counts in the kernel's own format,
                   // most near 2^32 or past it, with as many CPUs in the header:
                   // what the sampler converts eight at a time
            if (!runs) break;
            const std::size_t want = 8 + next() % 9;
            std::string &h = lines[0];
            for (std::size_t c = words(h).size(); c < want; ++c) {
                const std::string head = "CPU" + std::to_string(c);
                h += (h.empty()         ? std::string(11, ' ')
                      : h.back() == ' ' ? ""
                                        : " ") +
                     head + std::string(11 - head.size(), ' ');
            }
            if (n == 1) lines.emplace_back("0:");
            std::string &l = lines[n > 1 ? pick() : 1];
            const auto &w = words(l);
            const std::size_t colon = w.empty() ? std::string::npos : l.find(':', w[0].begin);
            moved = !w.empty() && colon < w[0].end ? l.substr(0, colon + 1) : "  0:";
            for (std::size_t f = 0; f < want; ++f) {
                const unsigned b = next();
                moved += ' ' + in_field(b % 4 ? std::to_string(4294967295u - 3 + b % 7)
                                              : count_from(b / 4));
            }
            l = moved + "   IO-APIC   1-edge      i8042";
            break;
        }
        case 7: { // a CPU goes offline: its head and its counts go
            const std::size_t at = next() % 8;
            const auto &h = words(lines[0]);
            if (at < h.size())
                lines[0].erase(h[at].begin,
                               (at + 1 < h.size() ? h[at + 1].begin : h[at].end) - h[at].begin);
            for (std::size_t i = 1; i < lines.size(); ++i) {
                const auto &w = words(lines[i]);
                if (at + 1 < w.size()) {
                    const span f = field_of(w, at + 1);
                    lines[i].erase(f.begin, std::min(f.end + 1, lines[i].size()) - f.begin);
                }
            }
            break;
        }
        }
    }
    table.clear();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        table += lines[i];
        if (i + 1 < lines.size() || ends) table += '\n';
    }
}

} // namespace kevrane::reference

extern "C" {
int __real_clock_gettime(clockid_t, timespec *);
ssize_t __real_read(int, void *, std::size_t);
off_t __real_lseek(int, off_t, int);
int __real_ppoll(pollfd *, nfds_t, const timespec *, const sigset_t *);

// The table's descriptor is served by the source, a call to it one call;
// curses' and the keyboard's go to the kernel.
ssize_t __wrap_read(int fd, void *to, std::size_t n) {
    using kevrane::reference::served;
    if (fd != served.fd || fd < 0) return __real_read(fd, to, n);
    return static_cast<ssize_t>(kevrane::reference::read_served(static_cast<char *>(to), n));
}

// The sampler only rewinds.
off_t __wrap_lseek(int fd, off_t off, int whence) {
    using kevrane::reference::served;
    if (fd != served.fd || fd < 0) return __real_lseek(fd, off, whence);
    if (off != 0 || whence != SEEK_SET) std::abort();
    served.at = served.given = served.left = 0;
    served.calls.clear();
    served.spans.clear();
    served.rec_at = served.rec_next = 0;
    return 0;
}

// A look at the keyboard, on the source's clock.
int __wrap_ppoll(pollfd *p, nfds_t n, const timespec *t, const sigset_t *s) {
    kevrane::reference::served.looked = kevrane::reference::served.now;
    return __real_ppoll(p, n, t, s);
}

int __wrap_clock_gettime(clockid_t id, timespec *t) {
    using kevrane::reference::served;
    if (!served.on || id != CLOCK_MONOTONIC) return __real_clock_gettime(id, t);
    t->tv_sec = served.now / 1000000000;
    t->tv_nsec = served.now % 1000000000;
    return 0;
}
}
