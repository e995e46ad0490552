// What a sampling pass and a repaint cost, against the floor of reading the
// same table's bytes with read(2), on tables from 2 to 8,192 CPUs and a real
// 1,152-CPU one and tables of 8,192 CPUs in its shape, and how often a pass
// looks at the keyboard. Run with --memory TABLE (as the benchmark does for
// itself) to report the peak resident memory of start-up and two passes;
// --width N converts at most N kernel fields at once (1 is the SSE2 path on
// x86); --table CPUS LINES and --shaped CPUS LINES print a generated table.

#include "kevrane.h"
#include "scratch.h"
#include "tables.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kevrane;

namespace {

// Every look at the keyboard, counted and timed: the bench links with
// --wrap=ppoll, so the program's own looks come here first.
struct {
    long count;
    std::int64_t last; // 0: none yet in this pass
    std::int64_t widest;
} looks;

} // namespace

extern "C" int __real_ppoll(pollfd *, nfds_t, const timespec *, const sigset_t *);
extern "C" int __wrap_ppoll(pollfd *fds, nfds_t n, const timespec *t, const sigset_t *mask) {
    const std::int64_t now = monotonic_ns();
    if (looks.last) looks.widest = std::max(looks.widest, now - looks.last);
    looks.last = now;
    ++looks.count;
    return __real_ppoll(fds, n, t, mask);
}

namespace {

struct table_file {
    std::string name;
    std::string path;
};

std::vector<table_file> tables;
std::string grown;   // 8192x1000 with a line more and a CPU more
std::string offline; // 8192x1000 with CPU 17 offline
fs::path workdir;
std::string loaded;

// A curses screen on a scratch terminal: keys are polled from a pseudo-terminal
// nobody types on, output goes nowhere.
void open_screen() {
    static bool open;
    if (open) return;
    open = true;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) || unlockpt(master)) std::abort();
    FILE *in = std::fopen(ptsname(master), "r");
    FILE *out = std::fopen("/dev/null", "w");
    use_env(FALSE);
    SCREEN *s = newterm("vt100", out, in);
    if (!s) std::abort();
    set_term(s);
    curses_modes();
    watch_terminal(fileno(in), fileno(out));
    resizeterm(24, 80);
    flushinp();
}

// The start-up scan on a table, as the program does it.
void load(const std::string &path) {
    if (loaded == path) return;
    if (fdinp >= 0) close(fdinp);
    scratch::reset_layout();
    if (!open_table(path.c_str())) std::abort();
    alloc_tables();
    loaded = path;
}

struct look_figures {
    double per_pass;
    double widest_ms;
    double paired;    // median of pass / floor taken back to back
    double paired_ms; // median of those passes
};
std::map<std::string, look_figures> look_stats;

void pass(benchmark::State &state, const std::string &path, const std::string &name) {
    open_screen();
    load(path);
    read_input(1);
    looks = {};
    for (auto _ : state) {
        looks.last = 0;
        read_input(0);
    }
    state.SetBytesProcessed(state.iterations() * fs::file_size(path));
    auto &f = look_stats[name];
    f.per_pass = static_cast<double>(looks.count) / state.iterations();
    f.widest_ms = std::max(f.widest_ms, looks.widest / 1e6);
}

void read_whole(int fd, std::vector<char> &buf) {
    lseek(fd, 0, SEEK_SET);
    while (read(fd, buf.data(), buf.size()) > 0)
        benchmark::DoNotOptimize(buf.data());
}

void floor_read(benchmark::State &state, const std::string &path) {
    std::vector<char> buf(1 << 20);
    int fd = open(path.c_str(), O_RDONLY);
    for (auto _ : state)
        read_whole(fd, buf);
    close(fd);
    state.SetBytesProcessed(state.iterations() * fs::file_size(path));
}

// A read of the file and a pass, back to back, each timed: this machine's
// speed drifts by a third from one second to the next, which a pass and a
// floor measured a second apart take as a change in their ratio.
void paired(benchmark::State &state, const std::string &path, const std::string &name) {
    open_screen();
    load(path);
    read_input(1);
    std::vector<char> buf(1 << 20);
    int fd = open(path.c_str(), O_RDONLY);
    std::vector<double> ratios, passes;
    for (auto _ : state) {
        const std::int64_t t0 = monotonic_ns();
        read_whole(fd, buf);
        const std::int64_t t1 = monotonic_ns();
        read_input(0);
        const std::int64_t t2 = monotonic_ns();
        ratios.push_back(static_cast<double>(t2 - t1) / (t1 - t0));
        passes.push_back((t2 - t1) / 1e6);
    }
    close(fd);
    auto median = [](std::vector<double> &v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    look_stats[name].paired = median(ratios);
    look_stats[name].paired_ms = median(passes);
}

// The start-up scan, as the program takes it once.
void startup(benchmark::State &state, const std::string &path) {
    open_screen();
    for (auto _ : state) {
        loaded.clear();
        load(path);
    }
}

// Start-up and two passes on `path`; the next pass reads `other`.
void start_then_switch(const std::string &path, const std::string &other) {
    loaded.clear();
    load(path);
    read_input(1);
    read_input(2);
    close(fdinp);
    if (!open_table(other.c_str())) std::abort();
    loaded.clear();
}

// A pass over the table changed as a kernel changes it: a line comes first of
// all and a CPU comes online, so every line is found by its label and every
// row's counts move to new columns. Set up afresh for each pass, untimed.
void changed(benchmark::State &state, const std::string &path, const std::string &grown) {
    open_screen();
    for (auto _ : state) {
        state.PauseTiming();
        start_then_switch(path, grown);
        state.ResumeTiming();
        looks = {};
        read_input(0);
        look_stats["changed"].widest_ms =
            std::max(look_stats["changed"].widest_ms, looks.widest / 1e6);
    }
}

// Passes while a CPU stays offline after start-up: every line's fields go to
// the columns through the header's map.
void steady_offline(benchmark::State &state, const std::string &path, const std::string &gone) {
    open_screen();
    start_then_switch(path, gone);
    read_input(0);
    int slot = 1;
    for (auto _ : state) {
        read_input(slot);
        slot ^= 1;
    }
    state.SetBytesProcessed(state.iterations() * fs::file_size(gone));
}

void repaint(benchmark::State &state, const std::string &path) {
    open_screen();
    load(path);
    read_input(1);
    read_input(0);
    read_input(2);
    for (auto _ : state) {
        repaint_screen(1);
        wrefresh(stdscr);
    }
}

// Prints, after the usual report, each table's pass against its floor.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    // Colour only on a terminal: a file or a pipe gets plain text.
    ratio_reporter() : ConsoleReporter(isatty(1) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
                ns[r.run_name.function_name] =
                    r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e9;
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto &o = GetOutputStream();
        o << "\ntable            pass (ms)  floor (ms)  pass/floor  paired  paired pass (ms)  "
             "repaint (us)  looks/pass  widest gap (ms)\n";
        for (const auto &t : tables) {
            double p = ns["pass/" + t.name] / 1e6, f = ns["floor/" + t.name] / 1e6;
            const look_figures &l = look_stats[t.name];
            char line[200];
            std::snprintf(line, sizeof line,
                          "%-16s %9.3f  %10.3f  %10.2f  %6.2f  %16.3f  %12.1f  %10.1f  %15.3f\n",
                          t.name.c_str(), p, f, f > 0 ? p / f : 0.0, l.paired, l.paired_ms,
                          ns["repaint/" + t.name] / 1e3, l.per_pass, l.widest_ms);
            o << line;
        }
        if (ns.count("startup/8192x1000") && ns.count("changed/8192x1000")) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "\n8192x1000: start-up scan %.1f ms, a pass that meets a change %.1f ms "
                          "(target: about one start-up scan), its widest gap between key looks "
                          "%.1f ms\n",
                          ns["startup/8192x1000"] / 1e6, ns["changed/8192x1000"] / 1e6,
                          look_stats["changed"].widest_ms);
            o << line;
        }
    }

  private:
    std::map<std::string, double> ns;
};

// Start-up (the scan, which is the first sample) and the paint of its
// numbers in a fresh process, as the program takes them before its first
// screen of numbers, then the next pass; prints its peak resident KiB.
int memory_child(const char *path) {
    open_screen();
    load(path);
    first_sample();
    read_input(getix(0));
    repaint_screen(0);
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%ld\n", ru.ru_maxrss);
    return 0;
}

// What the slots of the table loaded last hold, in MiB.
double slot_mib() {
    return static_cast<double>(slot_bytes()) / (1 << 20);
}

// The child's whole life, exec included, is the time to the first screen of numbers.
void report_memory(const char *self, const table_file &t) {
    std::string cmd = std::string(self) + " --memory " + t.path;
    const std::int64_t start = monotonic_ns();
    FILE *p = popen(cmd.c_str(), "r");
    long kib = 0;
    if (!p || std::fscanf(p, "%ld", &kib) != 1) kib = -1;
    if (p) pclose(p);
    std::printf("\nfirst screen on %s (exec, the scan, a paint, then a pass): %.0f ms\n",
                t.name.c_str(), (monotonic_ns() - start) / 1e6);
    load(t.path);
    const double slots = slot_mib();
    std::printf("peak resident memory on %s: %.1f MiB (target on a real-shaped table: at most "
                "16); the three slots %.1f MiB, every count in 32 bits %.1f MiB\n",
                t.name.c_str(), kib / 1024.0, slots, 3.0 * numirqs * numcpus * 4 / (1 << 20));
}

// The table with CPU `numbered` past its last column online and a line more
// at its head; every other count as it was.
std::string grow(const std::string &path, const std::string &out) {
    std::ifstream in(path, std::ios::binary);
    std::ofstream g(out, std::ios::binary);
    std::string line;
    std::getline(in, line);
    const std::size_t cpus = (line.size() - line.find("CPU")) / 11;
    char head[32];
    std::snprintf(head, sizeof head, "CPU%-8zu", cpus);
    g << line << head << "\n"
      << "new:" << std::string(cpus + 1, ' ') << "7\n";
    while (std::getline(in, line)) {
        // The counts are 11 columns each, after the label and its blank.
        const std::size_t end = line.find(':') + 2 + cpus * 11;
        if (end <= line.size()) line.insert(end, "         1 ");
        g << line << "\n";
    }
    return out;
}

// The table with CPU `cpu` offline: its head and its count on every line gone.
std::string take_offline(const std::string &path, const std::string &out, int cpu) {
    std::ifstream in(path, std::ios::binary);
    std::ofstream g(out, std::ios::binary);
    std::string line;
    std::getline(in, line);
    char head[32];
    std::snprintf(head, sizeof head, "CPU%-8d", cpu);
    line.erase(line.find(head), 11);
    g << line << "\n";
    while (std::getline(in, line)) {
        const std::size_t at = line.find(':') + 2 + static_cast<std::size_t>(cpu) * 11;
        if (at + 11 <= line.size()) line.erase(at, 11);
        g << line << "\n";
    }
    return out;
}

void make_tables(const char *self) {
    workdir = fs::temp_directory_path() / ("kevrane-bench-" + std::to_string(getpid()));
    fs::create_directories(workdir);
    const int shapes[][3] = {{2, 30, 0},      {64, 200, 0},    {1024, 500, 0},
                             {8192, 1000, 0}, {8192, 1000, 1}, {8192, 3000, 1}};
    for (auto [cpus, lines, shaped] : shapes) {
        table_file t{(shaped ? "shaped-" : "") + std::to_string(cpus) + "x" + std::to_string(lines),
                     ""};
        t.path = workdir / (t.name + ".txt");
        std::ofstream(t.path, std::ios::binary)
            << (shaped ? bench::shaped_table(cpus, lines, 1) : bench::kernel_table(cpus, lines, 1));
        tables.push_back(t);
        if (shaped) continue;
        if (cpus == 8192) {
            grown = grow(t.path, workdir / "8192x1000-grown.txt");
            offline = take_offline(t.path, workdir / "8192x1000-offline.txt", 17);
        }
    }
    fs::path xz = fs::path(self).parent_path() / "interrupts-1152cpu-x86_64.txt.xz";
    table_file real{"real-1152", workdir / "real-1152.txt"};
    std::string cmd = "xz -dc '" + xz.string() + "' > '" + real.path + "'";
    if (std::system(cmd.c_str()) == 0)
        tables.push_back(real);
    else
        std::fprintf(stderr, "no real table: %s failed\n", cmd.c_str());
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--memory") == 0) return memory_child(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--table") == 0) {
        std::fputs(bench::kernel_table(std::atoi(argv[2]), std::atoi(argv[3]), 1).c_str(), stdout);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--shaped") == 0) {
        std::fputs(bench::shaped_table(std::atoi(argv[2]), std::atoi(argv[3]), 1).c_str(), stdout);
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "--width") == 0) {
        fieldwidth = std::min(fieldwidth, std::max(1, std::atoi(argv[2])));
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
    std::printf("converting at most %d kernel field%s at once\n", fieldwidth,
                fieldwidth == 1 ? "" : "s");

    make_tables(argv[0]);
    for (const auto &t : tables) {
        benchmark::RegisterBenchmark(("pass/" + t.name).c_str(), pass, t.path, t.name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("floor/" + t.name).c_str(), floor_read, t.path)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("paired/" + t.name).c_str(), paired, t.path, t.name)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("repaint/" + t.name).c_str(), repaint, t.path)
            ->Unit(benchmark::kMicrosecond);
        if (t.name == "8192x1000") {
            benchmark::RegisterBenchmark(("startup/" + t.name).c_str(), startup, t.path)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(3);
            benchmark::RegisterBenchmark(("changed/" + t.name).c_str(), changed, t.path, grown)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(3);
            benchmark::RegisterBenchmark(("offline/" + t.name).c_str(), steady_offline, t.path,
                                         offline)
                ->Unit(benchmark::kMillisecond);
        }
    }
    // Medians of five runs unless told otherwise.
    std::vector<char *> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=5",
                only = "--benchmark_report_aggregates_only=true";
    bool given = false;
    for (char *a : args)
        given |= std::strncmp(a, "--benchmark_repetitions", 23) == 0;
    if (!given) {
        args.push_back(reps.data());
        args.push_back(only.data());
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const auto &t : tables)
        if (t.name.find("8192x") != std::string::npos) report_memory(argv[0], t);
    fs::remove_all(workdir);
    return 0;
}
