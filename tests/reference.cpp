#include "reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace kevrane::reference {

namespace {

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
std::string label_of(const char *line) {
    while (*line == ' ')
        ++line;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(line);
    for (std::size_t n = 0; p[n] > ' '; ++n)
        if (p[n] == ':') return std::string(line, n);
    return {};
}

// Each header label's CPU number: its trailing digits, or its place.
std::vector<long> header_numbers(const char *line) {
    std::string h(line);
    while (!h.empty() && (h.back() == '\n' || h.back() == '\r'))
        h.pop_back();
    std::vector<long> out;
    std::istringstream words(h);
    for (std::string w; std::getline(words, w, ' ');) {
        if (w.empty()) continue;
        std::size_t d = w.size();
        while (d > 0 && w[d - 1] >= '0' && w[d - 1] <= '9')
            --d;
        if (d == w.size()) {
            out.push_back(static_cast<long>(out.size()));
            continue;
        }
        long n = 0;
        for (std::size_t i = d; i < w.size(); ++i)
            if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, w[i] - '0', &n)) {
                n = std::numeric_limits<long>::max();
                break;
            }
        out.push_back(n);
    }
    return out;
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

int model::add_source(const char *line, bool scan) {
    int text = -1;
    for (int i = 0; merge && i < 7 && text < 0; ++i)
        if (std::strstr(line, texts[i])) text = i;
    int row;
    if (text >= 0 && merged[text] >= 0) {
        row = merged[text];
    } else {
        row = static_cast<int>(rows.size());
        rows.emplace_back();
        if (text >= 0) merged[text] = row;
    }
    const std::size_t n = cpus.size();
    sources.push_back({row, scan, false, std::vector<std::int64_t>(n), 0,
                       std::vector<std::int64_t>(n), std::vector<std::int64_t>(n)});
    rows[row].push_back(static_cast<int>(sources.size()) - 1);
    return static_cast<int>(sources.size()) - 1;
}

void model::start(const std::string &table, bool merging) {
    *this = model();
    merge = merging;
    read(table, true);
}

void model::pass(const std::string &table) {
    read(table, false);
    if (++passes == 2) // the baseline: everything counts from here
        for (auto &s : sources)
            std::fill(s.since.begin(), s.since.end(), 0);
}

void model::read(const std::string &table, bool scan) {
    static std::vector<char> buf(linesize);
    static char stdio_buffer[BUFSIZ];
    FILE *f = fmemopen(const_cast<char *>(table.data()), table.size(), "r");
    if (!f) std::abort();
    setvbuf(f, stdio_buffer, _IOFBF, sizeof stdio_buffer);
    const bool counting = passes > 0;
    std::vector<char> fresh(cpus.size()), seen(sources.size());
    std::vector<int> cols; // field i -> column, or -1
    std::unordered_map<std::string, unsigned> met;
    for (int index = -1; std::fgets(buf.data(), linesize, f);) {
        if (++index == 0) {
            const std::vector<long> numbers = header_numbers(buf.data());
            if (scan) cpus = numbers;
            for (long cpu : numbers) {
                if (std::find(cpus.begin(), cpus.end(), cpu) != cpus.end()) continue;
                const auto at =
                    std::find_if(cpus.begin(), cpus.end(), [&](long c) { return c > cpu; });
                const auto pos = at - cpus.begin();
                cpus.insert(at, cpu);
                fresh.insert(fresh.begin() + pos, 1);
                for (auto &s : sources) {
                    s.last.insert(s.last.begin() + pos, 0);
                    s.since.insert(s.since.begin() + pos, 0);
                    s.step.insert(s.step.begin() + pos, 0);
                }
            }
            for (std::size_t i = 0; i < numbers.size(); ++i) {
                const auto at = std::find(cpus.begin(), cpus.end(), numbers[i]);
                cols.push_back(numbers == cpus ? static_cast<int>(i)
                                               : static_cast<int>(at - cpus.begin()));
            }
            continue;
        }
        const std::string label = label_of(buf.data());
        const unsigned k = met[label]++;
        auto &ids = labels[label];
        if (k == ids.size()) ids.push_back(add_source(buf.data(), scan));
        if (scan) continue;
        source &s = sources[ids[k]];
        if (seen.size() < sources.size()) seen.resize(sources.size());
        seen[ids[k]] = 1;

        std::vector<std::int64_t> now(cpus.size());
        std::vector<char> got(cpus.size());
        std::int64_t total = 0;
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
            const std::int64_t v = std::strtol(p, nullptr, 10);
            const int c = cols[i];
            if (c < 0 || c >= static_cast<int>(cpus.size())) continue;
            now[c] = v;
            got[c] = 1;
            s.huge |= v >= huge_count || v <= -huge_count;
        }
        for (std::size_t c = 0; c < cpus.size(); ++c) {
            if (!got[c]) now[c] = s.last[c];
            total = sum(total, now[c]);
        }
        for (std::size_t c = 0; c < cpus.size(); ++c) {
            s.step[c] = counting && s.counted && !fresh[c] ? step_of(s.last[c], now[c]) : 0;
            s.since[c] = sum(s.since[c], s.step[c]);
        }
        s.last.swap(now);
        s.total = total;
        s.counted = true;
    }
    std::fclose(f);
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (i >= seen.size() || !seen[i])
            std::fill(sources[i].step.begin(), sources[i].step.end(), 0);
}

std::string model::differences(int cur, int prev) const {
    std::ostringstream out;
    if (numirqs != static_cast<int>(rows.size()) || cpunum != cpus) {
        out << "shape: " << numirqs << " rows and " << numcpus << " columns, want " << rows.size()
            << " and " << cpus.size();
        return out.str();
    }
    const int n = numcpus;
    for (int r = 0; r < numirqs; ++r) {
        bool huge = false;
        std::vector<std::int64_t> boot(n + 1);
        std::vector<std::int64_t> since(n + 1), step(n + 1);
        for (int id : rows[r]) {
            const source &s = sources[id];
            huge |= s.huge;
            for (int c = 0; c < n; ++c) {
                boot[c] = sum(boot[c], s.last[c]);
                since[c] = sum(since[c], s.since[c]);
                step[c] = sum(step[c], s.step[c]);
                since[n] = sum(since[n], s.since[c]);
                step[n] = sum(step[n], s.step[c]);
            }
            boot[n] = sum(boot[n], s.total);
        }
        auto check = [&](const char *what, int ref, const std::vector<std::int64_t> &want,
                         int c) -> bool {
            const std::int64_t got = shown_count(cur, ref, r, c);
            if (huge ? got >= 0 : got == want[c]) return true;
            out << what << " differ at row " << r << " (" << irqnames[r] << "), column " << c
                << " of " << n << ": want " << want[c] << ", program " << got;
            return false;
        };
        for (int c = 0; c <= n; ++c) {
            if (shown_count(cur, -1, r, c) != boot[c]) {
                out << "counts since boot differ at row " << r << " (" << irqnames[r]
                    << "), column " << c << " of " << n << ": want " << boot[c] << ", program "
                    << shown_count(cur, -1, r, c);
                return out.str();
            }
            if (passes >= 2 && !check("counts since start", 2, since, c)) return out.str();
            if (prev >= 0 && !check("counts since the last pass", prev, step, c)) return out.str();
        }
    }
    return {};
}

namespace {

struct span {
    std::size_t begin, end;
};

std::vector<span> words(const std::string &line) {
    std::vector<span> w;
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
std::string in_field(std::uint64_t v, std::size_t width = 10) {
    std::string t = std::to_string(v);
    return t.size() < width ? std::string(width - t.size(), ' ') + t : t;
}

void set_label(std::string &line, const std::string &label) {
    const auto w = words(line);
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

std::uint64_t count_from(unsigned b) {
    switch (b % 6) {
    case 0: return 4294967295u - b / 6; // just below the wrap
    case 1: return b / 6;               // small: after a wrap or a restart
    case 2: return 2147483648u + b;     // half way round
    case 3: return 4294967296u + b;     // past 32 bits
    case 4: return 4294967000u;
    }
    return 0;
}

} // namespace

std::string edit(const std::string &table, const std::uint8_t *&ops, const std::uint8_t *end) {
    auto next = [&]() -> unsigned { return ops < end ? *ops++ : 0; };
    std::vector<std::string> lines;
    std::istringstream in(table);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    const bool ends = !table.empty() && table.back() == '\n';
    if (lines.empty()) lines.emplace_back();
    const char *const labels[] = {"0", "1", "7", "27", "NMI", "LOC", "IPI0", "ERR", ""};
    while (ops < end) {
        const unsigned op = next() % 10;
        if (op == 9) break;
        const std::size_t n = lines.size();
        auto pick = [&] { return n > 1 ? 1 + next() % (n - 1) : 0; };
        switch (op) {
        case 0: // a line vanishes
            if (n > 1) lines.erase(lines.begin() + pick());
            break;
        case 1: { // a line appears, like another but with a label of its own
            std::string l = lines[pick()];
            set_label(l, "N" + std::to_string(next()));
            lines.insert(lines.begin() + 1 + next() % n, l);
            break;
        }
        case 2: { // a line moves
            const std::size_t from = pick();
            std::string l = lines[from];
            lines.erase(lines.begin() + from);
            lines.insert(lines.begin() + (lines.empty() ? 0 : 1 + next() % lines.size()), l);
            break;
        }
        case 3: // a line takes another label, perhaps one that is already there
            set_label(lines[pick()], labels[next() % std::size(labels)]);
            break;
        case 4: { // one count jumps: near the wrap, just past it, beyond 32 bits
            std::string &l = lines[pick()];
            const auto w = words(l);
            const std::size_t f = 1 + next() % 8;
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
            auto w = words(l);
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
            auto h = words(lines[0]);
            if (at < h.size())
                lines[0].insert(h[at].begin, head + std::string(11 - head.size(), ' '));
            else
                lines[0] += (lines[0].empty() || lines[0].back() == ' ' ? "" : " ") + head;
            const unsigned v = next();
            for (std::size_t i = 1; i < lines.size(); ++i) {
                auto w = words(lines[i]);
                if (at + 1 < w.size())
                    lines[i].insert(field_of(w, at + 1).begin, in_field(v) + " ");
            }
            break;
        }
        case 7: { // a CPU goes offline: its head and its counts go
            const std::size_t at = next() % 8;
            const auto h = words(lines[0]);
            if (at < h.size())
                lines[0].erase(h[at].begin,
                               (at + 1 < h.size() ? h[at + 1].begin : h[at].end) - h[at].begin);
            for (std::size_t i = 1; i < lines.size(); ++i) {
                const auto w = words(lines[i]);
                if (at + 1 < w.size()) {
                    const span f = field_of(w, at + 1);
                    lines[i].erase(f.begin, std::min(f.end + 1, lines[i].size()) - f.begin);
                }
            }
            break;
        }
        }
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += lines[i] + (i + 1 < lines.size() || ends ? "\n" : "");
    return out;
}

} // namespace kevrane::reference
