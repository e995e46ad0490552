#include "reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kevrane::reference {

namespace {

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

} // namespace

void plain_pass(const std::string &text, std::vector<std::int64_t> &counts,
                std::vector<std::int64_t> &totals, const std::vector<std::int64_t> &before,
                const std::vector<std::int64_t> &before_totals) {
    // Kept between calls: the fuzz target calls this tens of thousands of times a second.
    static std::vector<char> buf(linesize);
    static std::vector<char> fed, got;
    fed.assign(numirqs, 0);
    std::vector<int> cols; // field i goes to column cols[i], or nowhere when -1
    static char stdio_buffer[BUFSIZ];
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (!f) std::abort();
    setvbuf(f, stdio_buffer, _IOFBF, sizeof stdio_buffer);
    for (int index = -1; std::fgets(buf.data(), linesize, f);) {
        if (++index == 0) {
            // Fields go under the columns of the CPUs the header names, in
            // order when it is the start-up header.
            std::vector<long> cpus;
            header_cpus(buf.data(), cpus);
            if (cpus == cpunum)
                for (int i = 0; i < numcpus; ++i)
                    cols.push_back(i);
            else
                for (long cpu : cpus) {
                    auto at = std::find(cpunum.begin(), cpunum.end(), cpu);
                    cols.push_back(at == cpunum.end() ? -1 : static_cast<int>(at - cpunum.begin()));
                }
            continue;
        }
        line_row m = map_line(index);
        if (m.row < 0) continue;
        fed[m.row] = 1;
        std::int64_t *c = counts.data() + static_cast<std::size_t>(m.row) * numcpus;
        const std::int64_t *b = before.data() + static_cast<std::size_t>(m.row) * numcpus;
        std::int64_t &t = totals[m.row];
        const char *p = buf.data();
        while (*p == ' ')
            ++p;
        const char *first = glued(p);
        if (!m.add) t = 0;
        got.assign(numcpus, 0);
        for (std::size_t i = 0; i < cols.size(); ++i) {
            if (i == 0 && first) {
                p = first;
            } else {
                p = std::strchr(p, ' ');
                if (!p) break;
                while (*p == ' ')
                    ++p;
            }
            std::int64_t v = std::strtol(p, nullptr, 10);
            if (cols[i] < 0) continue;
            c[cols[i]] = m.add ? sat_add(c[cols[i]], v) : v;
            t = sat_add(t, v);
            got[cols[i]] = 1;
        }
        for (int j = 0; !m.add && j < numcpus; ++j)
            if (!got[j]) {
                c[j] = b[j];
                t = sat_add(t, b[j]);
            }
    }
    std::fclose(f);
    for (int r = 0; r < numirqs; ++r)
        if (!fed[r]) {
            std::copy_n(before.begin() + static_cast<std::size_t>(r) * numcpus, numcpus,
                        counts.begin() + static_cast<std::size_t>(r) * numcpus);
            totals[r] = before_totals[r];
        }
}

} // namespace kevrane::reference
