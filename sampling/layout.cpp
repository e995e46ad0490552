// The interrupt table's shape, read once at start-up: how many CPU columns,
// which row each line of the table feeds (like lines merged into one row),
// and what each row is called. Every later sample reads through this map.

#include "kevrane.h"

#include <cstring>

namespace kevrane {

int numcpus;
int numirqs;
int maxlines;
std::vector<std::uint32_t> irqmap;
std::vector<std::string> irqnames;
std::vector<long> cpunum;
int combine = 1;

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

    // The count columns follow the label; the last one taken ends them.
    const char *p = labend;
    const char *last = labend;
    bool complete = true;
    for (int j = 0; j < numcpus; ++j) {
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

void expand_map(int index) {
    if (index < maxlines) return;
    maxlines = index + 1000;
    irqnames.resize(maxlines);
    irqmap.resize(maxlines);
}

void init_map_line(const char *line, int index) {
    combine_entry *match = nullptr;
    if (combine)
        for (auto &e : combine_desc)
            if (std::strstr(line, e.substr)) {
                match = &e;
                break;
            }
    if (match && match->rownum) {
        expand_map(index);
        irqmap[index] = static_cast<std::uint32_t>(match->rownum) | addflag;
        return;
    }
    if (match) match->rownum = numirqs + 1;
    int row = numirqs++;
    expand_map(index);
    irqmap[index] = static_cast<std::uint32_t>(numirqs);
    irqnames[row] = match ? match->label : make_name(line);
}

line_row map_line(int index) {
    if (index < 0 || index >= maxlines || irqmap[index] == 0) return {-1, false};
    return {static_cast<int>(irqmap[index] & ~addflag) - 1, (irqmap[index] & addflag) != 0};
}

void alloc_tables() {
    rewind_table();
    int index = -1;
    while (const char *line = read_line()) {
        if (++index == 0) {
            header_cpus(line, cpunum);
            numcpus = static_cast<int>(cpunum.size());
        } else
            init_map_line(line, index);
    }
    for (int slot = 0; slot < 3; ++slot) {
        irqcounts[slot].assign(static_cast<std::size_t>(numirqs) * numcpus, 0);
        irqtotals[slot].assign(numirqs, 0);
    }
}

} // namespace kevrane
