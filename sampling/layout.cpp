// The interrupt table's shape: how many CPU columns, which row each line of
// the table feeds (like lines merged into one row), and what each row is
// called. A line's label names its source, wherever the line stands: the
// start-up scan maps each line index to its source, and a pass that finds
// another label at an index finds the source by its label, or adds one.

#include "kevrane.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kevrane {

int numcpus;
int numfields;
int numirqs;
int newrows;
int maxlines;
std::vector<std::uint32_t> irqmap;
std::vector<std::string> irqlabels;
std::vector<std::string> irqnames;
std::vector<long> cpunum;
std::vector<member_line> members;
std::unordered_map<std::string, label_lines, label_hash, std::equal_to<>> labelmap;
int combine = 1;
int relayout;

combine_entry combine_desc[7] = {
    {"  timer", "XXX:timer", 0},
    {" callfunc", "XXX:callfunc", 0},
    {" resched", "XXX:resched", 0},
    {" dashboard", "XXX:dashboard", 0},
    {" dmar", "XXX:dmar", 0},
    {" aerdrv", "XXX:aerdrv", 0},
    {" QF-CORE-KZP", "XXX:kzp_tlbmiss", 0},
};

namespace {

constexpr std::size_t namesize = 20;

unsigned pass; // numbers the passes over the table, for labelmap's counts
int maplines;  // line indexes the map holds an entry for, the header included

const char *next_space(const char *p, const char *end) {
    auto q = static_cast<const char *>(std::memchr(p, ' ', end - p));
    return q ? q : end;
}

// The CPU number a header label gives ("CPU7" gives 7), or -1 without one.
long label_number(const char *p, const char *end) {
    const char *d = end;
    while (d > p && d[-1] >= '0' && d[-1] <= '9')
        --d;
    if (d == end) return -1;
    long n = 0;
    for (; d < end; ++d) {
        if (n > (std::numeric_limits<long>::max() - (*d - '0')) / 10)
            return std::numeric_limits<long>::max();
        n = n * 10 + (*d - '0');
    }
    return n;
}

std::string make_name(const char *line) {
    const char *end = line + std::strlen(line);
    if (end > line && end[-1] == '\n') --end;
    const char *label = skip_blanks(line);
    const char *first = next_space(label, end);
    const char *glued = glued_count(label);
    const char *labend = glued && glued < first ? glued : first;

    // The count columns follow the label, one for each CPU of the header
    // (fewer than there are columns while CPUs are offline); the last one
    // taken ends them.
    const char *p = labend;
    const char *last = labend;
    bool complete = true;
    for (int j = 0; j < numfields; ++j) {
        p = skip_blanks(p);
        if (p >= end) {
            complete = false;
            break;
        }
        last = p = next_space(p, end);
    }

    std::string name(label, labend);
    if (complete) {
        // Drop the first word (the interrupt controller) and keep the rest.
        const char *desc = skip_blanks(last);
        if (desc > end) desc = end;
        const char *sp = static_cast<const char *>(std::memchr(desc, ' ', end - desc));
        if (sp) desc = skip_blanks(sp);
        name.append(desc, end);
    }
    if (name.size() > namesize) name.resize(namesize);
    for (char &c : name)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = ' ';
    return name;
}

} // namespace

// The kernel pads every label to a fixed width and ends the header after the
// padding, but copies of the table often lose the trailing blanks; count the
// labels themselves so that both forms give every CPU its column.
void header_cpus(const char *line, std::vector<long> &numbers) {
    numbers.clear();
    const char *end = line + std::strlen(line);
    while (end > line && (end[-1] == '\n' || end[-1] == '\r'))
        --end;
    for (const char *p = skip_blanks(line); p < end; p = skip_blanks(p)) {
        const char *q = next_space(p, end);
        const long n = label_number(p, q);
        numbers.push_back(n < 0 ? static_cast<long>(numbers.size()) : n);
        p = q;
    }
}

const char *skip_blanks(const char *text) {
    while (*text == ' ')
        ++text;
    return text;
}

// arm64 kernels print a count that fills its field right after the label's
// colon ("IPI0:2768808080 ..."). Returns where that first count starts, or
// nullptr when the label is followed by a blank, the line end or nothing.
// Bytes are compared unsigned, so that a byte above 0x7f reads the same on
// machines whose char is signed (x86) and unsigned (arm64, ppc64el, s390x).
const char *glued_count(const char *label) {
    auto byte = [](const char *p) { return static_cast<unsigned char>(*p); };
    for (const char *p = label; byte(p) > ' '; ++p)
        if (*p == ':') return byte(p + 1) > ' ' && p[1] != 0x7f ? p + 1 : nullptr;
    return nullptr;
}

// A line's label names its source: the text before the colon that ends the
// line's first word ("27", "NMI", "IPI0" of "IPI0:2768808080"). A line whose
// first word has no colon (a piece of an over-long line, a line of blanks)
// has the empty label; such lines are told apart by their order alone.
std::string_view line_label(const char *line) {
    const char *p = skip_blanks(line);
    for (const char *q = p; static_cast<unsigned char>(*q) > ' '; ++q)
        if (*q == ':') return {p, static_cast<std::size_t>(q - p)};
    return {};
}

void expand_map(int index) {
    if (index < maxlines) return;
    maxlines = index + 1000;
    irqmap.resize(maxlines);
}

namespace {

// A row numbered after the rows that have slots; they get theirs when the
// pass that found it ends. -1 when the table may not grow further: there is
// no room for one more source that counts on every CPU.
int add_row(std::string name) {
    if (!room_for(1, 0, numcpus)) return -1;
    const int row = numirqs + newrows++;
    if (irqnames.size() <= static_cast<std::size_t>(row)) irqnames.resize(row + 1);
    irqnames[row] = std::move(name);
    return row;
}

// A source first met in this line: a row of its own, or a line of the merged
// row whose text it holds. 0 when the table may not grow further.
std::uint32_t add_source(const char *line) {
    combine_entry *match = nullptr;
    if (combine)
        for (auto &e : combine_desc)
            if (std::strstr(line, e.substr)) {
                match = &e;
                break;
            }
    if (!match) {
        const int row = add_row(make_name(line));
        return row < 0 ? 0 : static_cast<std::uint32_t>(row) + 1;
    }
    if (!match->rownum) {
        const int row = add_row(match->label);
        if (row < 0) return 0;
        match->rownum = row + 1;
    } else if (!room_for(1, 0, numcpus)) {
        return 0;
    }
    members.push_back({match->rownum - 1, 0, 0, -1});
    return static_cast<std::uint32_t>(members.size()) | addflag;
}

// How many lines with this label came before in this pass; the count starts
// afresh with each pass.
unsigned seen_before(label_lines &l) {
    if (l.pass != pass) {
        l.pass = pass;
        l.seen = 0;
    }
    return l.seen++;
}

line_row decode(std::uint32_t entry) {
    if (!(entry & addflag)) return {static_cast<int>(entry) - 1, -1};
    const int m = static_cast<int>(entry & ~addflag) - 1;
    return {members[m].row, m};
}

} // namespace

void init_map_line(const char *line, int index) {
    find_line(line_label(line), line, index);
}

line_row map_line(int index) {
    if (index < 0 || index >= maxlines || irqmap[index] == 0) return {-1, -1};
    return decode(irqmap[index]);
}

void begin_pass() {
    ++pass;
}

// The lines before `index` stand as the map has them: count their labels, so
// that the lines from there on are told apart from them.
void count_labels_before(int index) {
    for (int i = 1; i < index && i < static_cast<int>(irqlabels.size()); ++i) {
        auto at = labelmap.find(irqlabels[i]);
        if (at == labelmap.end()) continue;
        seen_before(at->second);
    }
}

// The source of the line at `index`, by its label and how many lines with that
// label came before it in this pass: a known one, or one added for it. The
// map then holds it for that index.
line_row find_line(std::string_view label, const char *line, int index) {
    auto at = labelmap.find(label);
    std::uint32_t entry = 0;
    if (at != labelmap.end()) {
        label_lines &l = at->second;
        const unsigned k = seen_before(l);
        if (k < l.sources.size())
            entry = l.sources[k];
        else if ((entry = add_source(line)))
            l.sources.push_back(entry);
    } else if ((entry = add_source(line))) {
        labelmap.emplace(std::string(label), label_lines{{entry}, pass, 1});
    }
    expand_map(index);
    irqmap[index] = entry;
    if (irqlabels.size() <= static_cast<std::size_t>(index)) irqlabels.resize(index + 1);
    irqlabels[index].assign(label);
    maplines = std::max(maplines, index + 1);
    return entry ? decode(entry) : line_row{-1, -1};
}

// The pass read `lines` lines: the map forgets the indexes past them, so that
// a line found there later is looked up by its label.
void trim_map(int lines) {
    for (int i = lines; i < maplines && i < static_cast<int>(irqlabels.size()); ++i) {
        irqmap[i] = 0;
        irqlabels[i].clear();
    }
    maplines = std::min(maplines, lines);
}

// The start-up scan: the table's shape, and its first sample, into the slot
// the start-up fills first.
void alloc_tables() {
    numirqs = numcpus = newrows = 0;
    cpunum.clear();
    alloc_slots();
    scan_sample(getix(3));
    relayout = 1;
}

} // namespace kevrane
