// The launch benchmarks: the burned launcher against `java -cp` of the same JDK and a jpackage app
// image of the same JAR, on this machine, in one run. Each comparison runs its commands
// interleaved (A B A B ...) after a warm-up and reports medians and the median of the per-pair
// ratios; each goal is printed met or missed.
//
// Clock: every time is CLOCK_MONOTONIC. The child records it in memory shared with the driver
// right before execve, so exec and dynamic loading (libjvm.so is a load-time dependency of the
// launcher) are counted but the driver's fork is not. The instrumented launcher
// (launcher/bench_marks.h) and the Java applications (System.nanoTime, CLOCK_MONOTONIC on Linux)
// print stamps of the same clock. The kernel's process start time (/proc/PID/stat) was not used:
// it counts in clock ticks of 10 ms, coarser than what is measured. The end of a run is when the
// driver sees the child exit; peak RSS is ru_maxrss from wait4.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/stats.h"
#include "tests/support/http_server.h"
#include "tests/support/process_runner.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kestrova::bench::median;
using kestrova::bench::pair_ratios;

constexpr int max_record_size = 16462;  // the 16463-byte reserved area keeps one '_' after the record
constexpr int max_record_entries = 255;
constexpr int limits_option_length = 60;
constexpr int many_jars = 40;  // library JARs of the many-JARs application

struct Settings {
    int pairs = 20;
    int gui_pairs = 10;
    int warmup = 3;
    fs::path work = KESTROVA_BENCH_WORK_DIR;
    fs::path plain_stage = KESTROVA_BENCH_STAGE;   // the launcher template without time marks
    fs::path marked_stage = KESTROVA_BENCH_STAGE;  // the launcher template with time marks
    fs::path java_home = KESTROVA_BENCH_JAVA_HOME;
    fs::path hello_jar = KESTROVA_BENCH_HELLO_JAR;
    bool skip_gui = false;
    std::set<int> only;  // the sections to run; all when empty

    bool wants(int section) const { return only.empty() || only.count(section) != 0; }
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "kestrova-launch-bench: %s\n", message.c_str());
    std::exit(1);
}

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// --- Running a command ----------------------------------------------------------------------------

struct Command {
    std::string label;
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // on top of the driver's, less the variables cleared below
    std::string expect;                      // a stamp the run must print, e.g. "main-end"
};

struct Run {
    std::int64_t start_ns = 0;  // right before execve
    std::int64_t end_ns = 0;    // when the driver saw the child exit
    long max_rss_kib = 0;
    int status = -1;
    std::string out;
    std::string err;
    std::map<std::string, std::int64_t> stamps;  // "kestrova-bench NAME NS" lines, stdout and marks

    double ms_to(const std::string& stamp) const {
        const auto it = stamps.find(stamp);
        if (it == stamps.end()) throw std::runtime_error("no stamp " + stamp);
        return static_cast<double>(it->second - start_ns) / 1e6;
    }
    double ms_between(const std::string& from, const std::string& to) const { return ms_to(to) - ms_to(from); }
    double wall_ms() const { return static_cast<double>(end_ns - start_ns) / 1e6; }
};

// One memory file per stream, reused for every run; descriptors above the standard ones so that
// the child's dup2 onto 1, 2 and 3 always clears close-on-exec.
class Streams {
public:
    Streams() {
        for (int& fd : fds_) {
            const int raw = memfd_create("kestrova-bench", MFD_CLOEXEC);
            if (raw < 0) fail("memfd_create failed");
            fd = fcntl(raw, F_DUPFD_CLOEXEC, 10);
            close(raw);
        }
    }
    int out() const { return fds_[0]; }
    int err() const { return fds_[1]; }
    int marks() const { return fds_[2]; }
    void reset() {
        for (int fd : fds_) {
            if (ftruncate(fd, 0) != 0) fail("ftruncate failed");
            lseek(fd, 0, SEEK_SET);
        }
    }

private:
    int fds_[3] = {-1, -1, -1};
};

void parse_stamps(const std::string& text, std::map<std::string, std::int64_t>& stamps) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string tag, name;
        std::int64_t ns = 0;
        if (words >> tag >> name >> ns && tag == "kestrova-bench") stamps.emplace(name, ns);
    }
}

std::vector<std::string> child_environment(const std::map<std::string, std::string>& extra) {
    static const char* const cleared[] = {
        "LD_LIBRARY_PATH", "_JAVA_OPTIONS",      "JDK_JAVA_OPTIONS",    "JAVA_TOOL_OPTIONS", "DISPLAY",
        "WAYLAND_DISPLAY", "FORCE_UPDATE_CHECK", "KESTROVA_UPDATE_LOG", "KESTROVA_BENCH_FD"};
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const char* name : cleared) env.erase(name);
    for (const auto& [name, value] : extra) env[name] = value;
    env["KESTROVA_BENCH_FD"] = "3";
    std::vector<std::string> out;
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

Run run_once(const Command& command, Streams& streams, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    streams.reset();
    std::vector<char*> argv;
    for (const auto& a : command.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto env_strings = child_environment(command.env);
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int dev_null = open("/dev/null", O_RDONLY | O_CLOEXEC);

    // Written by the child right before execve.
    static auto* shared_start = static_cast<std::atomic<std::int64_t>*>(
        mmap(nullptr, sizeof(std::atomic<std::int64_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared_start == MAP_FAILED) fail("mmap failed");
    shared_start->store(0);

    const pid_t pid = fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        dup2(dev_null, 0);
        dup2(streams.out(), 1);
        dup2(streams.err(), 2);
        dup2(streams.marks(), 3);
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        shared_start->store(static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(dev_null);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) fail("pidfd_open failed");
    pollfd p{pidfd, POLLIN, 0};
    int ready;
    while ((ready = poll(&p, 1, static_cast<int>(timeout.count() * 1000))) < 0 && errno == EINTR) {
    }
    Run run;
    run.end_ns = now_ns();
    close(pidfd);
    if (ready == 0) kill(-pid, SIGKILL);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    // Whatever the child left behind in its group goes too.
    kill(-pid, SIGKILL);
    run.start_ns = shared_start->load();
    run.max_rss_kib = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    run.out = kestrova::testing::read_whole(streams.out());
    run.err = kestrova::testing::read_whole(streams.err());
    parse_stamps(run.out, run.stamps);
    parse_stamps(kestrova::testing::read_whole(streams.marks()), run.stamps);
    if (ready == 0) fail(command.label + " did not end within " + std::to_string(timeout.count()) + " s");
    if (run.status != 0 || (!command.expect.empty() && run.stamps.count(command.expect) == 0))
        fail(command.label + " failed (status " + std::to_string(run.status) + ", expected stamp '" + command.expect +
             "')\n--- stdout\n" + run.out + "--- stderr\n" + run.err);
    return run;
}

// Warm-up rounds, then `rounds` rounds of every command in order (A B C A B C ...): series[c][r].
std::vector<std::vector<Run>> interleaved(const std::vector<Command>& commands, int warmup, int rounds,
                                          Streams& streams) {
    std::vector<std::vector<Run>> series(commands.size());
    for (int r = 0; r < warmup + rounds; ++r) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            Run run = run_once(commands[c], streams);
            if (r >= warmup) series[c].push_back(std::move(run));
        }
    }
    return series;
}

std::vector<double> metric(const std::vector<Run>& runs, const std::function<double(const Run&)>& of) {
    std::vector<double> values;
    for (const auto& run : runs) values.push_back(of(run));
    return values;
}

// --- Building what is compared --------------------------------------------------------------------

std::string run_tool(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& a : argv) line += "'" + a + "' ";  // the arguments hold no quote
    line += "2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) fail("cannot run " + argv[0]);
    std::string out;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    const int status = pclose(pipe);
    if (status != 0) fail(argv[0] + " failed:\n" + out);
    return out;
}

struct BundleRecipe {
    std::string name;
    std::string main_class;
    std::vector<std::string> jvm_options;
    std::vector<std::string> args;
    std::vector<std::string> extra;
};

fs::path make_bundle(const Settings& s, const fs::path& stage, const BundleRecipe& recipe) {
    const fs::path out = s.work / "bundles";
    std::vector<std::string> argv = {(stage / "bin" / "kestrova-pack").string(),
                                     "bundle",
                                     "--force",
                                     "--name",
                                     recipe.name,
                                     "--out",
                                     out.string(),
                                     "--main-class",
                                     recipe.main_class,
                                     "--jar",
                                     s.hello_jar.string(),
                                     "--runtime",
                                     s.java_home.string()};
    for (const auto& o : recipe.jvm_options) argv.push_back("--jvm-option=" + o);
    for (const auto& a : recipe.args) argv.push_back("--arg=" + a);
    argv.insert(argv.end(), recipe.extra.begin(), recipe.extra.end());
    run_tool(argv);
    return out / (recipe.name + ".app") / "Contents" / "MacOS" / recipe.name;
}

int record_size_of(const Settings& s, const fs::path& executable) {
    const std::string text = run_tool(
        {(s.plain_stage / "bin" / "kestrova-pack").string(), "inspect", executable.string()});
    const auto at = text.find("record_size: ");
    if (at == std::string::npos) fail("kestrova-pack inspect printed no record_size");
    return std::atoi(text.c_str() + at + 13);
}

fs::path make_jpackage_image(const Settings& s) {
    const fs::path input = s.work / "jpackage-input";
    const fs::path dest = s.work / "jpackage";
    fs::remove_all(input);
    fs::remove_all(dest);
    fs::create_directories(input);
    fs::copy_file(s.hello_jar, input / "hello.jar");
    run_tool({(s.java_home / "bin" / "jpackage").string(), "--type", "app-image", "--input", input.string(),
              "--main-jar", "hello.jar", "--main-class", "Hello", "--name", "HelloImage", "--dest", dest.string()});
    return dest / "HelloImage" / "bin" / "HelloImage";
}

// Xvfb on a free display, which it writes to a pipe once it accepts connections.
class Xvfb {
public:
    Xvfb() {
        int fds[2];
        if (pipe(fds) != 0) fail("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            close(fds[0]);
            const int dev_null = open("/dev/null", O_RDWR);
            dup2(dev_null, 0);
            dup2(dev_null, 1);
            dup2(dev_null, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buffer[32];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            number.append(buffer, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (const auto end = number.find('\n'); end != std::string::npos) display_ = ":" + number.substr(0, end);
    }
    ~Xvfb() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// --- Reporting ------------------------------------------------------------------------------------

struct Row {
    std::string what;
    std::string a;
    std::string b;
    double ratio;
    std::string goal;
    std::optional<bool> met;
};

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.2f ms" : "%.1f ms", value);
    return text;
}

std::string mib(double kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", kib / 1024);
    return text;
}

std::string times(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3fx", ratio);
    return text;
}

Row compare(std::string what, const std::vector<double>& a, const std::vector<double>& b,
            const std::function<std::string(double)>& unit, std::string goal, std::optional<double> limit) {
    const double ratio = median(pair_ratios(a, b));
    std::optional<bool> met;
    if (limit) met = ratio <= *limit;
    return {std::move(what), unit(median(a)), unit(median(b)), ratio, std::move(goal), met};
}

void print_rows(const std::vector<Row>& rows) {
    std::printf("| Comparison (A vs B) | A, median | B, median | A/B, median of pairs | Goal | |\n");
    std::printf("| --- | --- | --- | --- | --- | --- |\n");
    for (const auto& r : rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.a.c_str(), r.b.c_str(),
                    times(r.ratio).c_str(), r.goal.c_str(), r.met ? (*r.met ? "met" : "**missed**") : "");
    std::fflush(stdout);
}

std::string first_line_with(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) return line.substr(line.find(':') + 1);
    return "?";
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void print_machine(const Settings& s) {
    std::string cpu = first_line_with("/proc/cpuinfo", "model name");
    std::string mem = first_line_with("/proc/meminfo", "MemTotal");
    auto trim = [](std::string& t) { t.erase(0, t.find_first_not_of(" \t")); };
    trim(cpu);
    trim(mem);
    std::printf("Machine: %u CPUs (nproc), %s, %s memory; load average at start %s\n",
                std::thread::hardware_concurrency(), cpu.c_str(), mem.c_str(), load_average().c_str());
    std::printf("JDK: %s; %d warm-up rounds, then %d interleaved rounds per comparison (%d for the GUI)\n\n",
                s.java_home.c_str(), s.warmup, s.pairs, s.gui_pairs);
    std::fflush(stdout);
}

Settings parse_settings(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--pairs")
            s.pairs = std::stoi(value());
        else if (arg == "--gui-pairs")
            s.gui_pairs = std::stoi(value());
        else if (arg == "--warmup")
            s.warmup = std::stoi(value());
        else if (arg == "--work")
            s.work = value();
        else if (arg == "--plain-stage")
            s.plain_stage = value();
        else if (arg == "--no-gui")
            s.skip_gui = true;
        else if (arg == "--only") {
            std::stringstream list(value());
            for (std::string n; std::getline(list, n, ',');) s.only.insert(std::stoi(n));
        } else if (arg == "--help") {
            std::printf(
                "Usage: kestrova-launch-bench [--pairs N] [--gui-pairs N] [--warmup N] [--work DIR]\n"
                "                             [--plain-stage DIR] [--no-gui] [--only N,M]\n"
                "--only: run only these numbered sections (1 to 8; 2 and 5 are one).\n"
                "--plain-stage: the stage directory of a build without KESTROVA_BENCH (its launcher\n"
                "template is the one compared with java -cp and jpackage); default: this build's.\n");
            std::exit(0);
        } else
            fail("unknown argument " + arg + " (see --help)");
    }
    if (s.pairs < 1 || s.gui_pairs < 1 || s.warmup < 0) fail("--pairs and --gui-pairs need at least 1");
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const Settings s = parse_settings(argc, argv);
    const auto began = std::chrono::steady_clock::now();
    fs::create_directories(s.work);
    print_machine(s);
    Streams streams;
    std::vector<Row> rows;
    const std::string java = (s.java_home / "bin" / "java").string();

    // 1. A console hello world to the end of main: the launcher, java -cp, a jpackage image.
    if (s.wants(1)) {
        std::printf("Building the jpackage app image ... ");
        std::fflush(stdout);
        const auto t0 = std::chrono::steady_clock::now();
        const fs::path image = make_jpackage_image(s);
        std::printf("%.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        const fs::path bundle = make_bundle(s, s.plain_stage, {"HelloBench", "Hello", {}, {}, {}});
        const std::vector<Command> commands = {
            {"kestrova", {bundle.string()}, {}, "main-end"},
            {"java -cp", {java, "-cp", s.hello_jar.string(), "Hello"}, {}, "main-end"},
            {"jpackage", {image.string()}, {}, "main-end"},
        };
        const auto series = interleaved(commands, s.warmup, s.pairs, streams);
        auto to_main_end = [](const Run& r) { return r.ms_to("main-end"); };
        auto wall = [](const Run& r) { return r.wall_ms(); };
        auto rss = [](const Run& r) { return static_cast<double>(r.max_rss_kib); };
        rows.push_back(compare("Start to end of main: kestrova vs `java -cp`", metric(series[0], to_main_end),
                               metric(series[1], to_main_end), ms, "<= 1.00x", 1.00));
        rows.push_back(compare("Start to end of main: kestrova vs jpackage image", metric(series[0], to_main_end),
                               metric(series[2], to_main_end), ms, "<= 0.30x", 0.30));
        rows.push_back(compare("Start to exit: kestrova vs `java -cp`", metric(series[0], wall),
                               metric(series[1], wall), ms, "", std::nullopt));
        rows.push_back(compare("Start to exit: kestrova vs jpackage image", metric(series[0], wall),
                               metric(series[2], wall), ms, "", std::nullopt));
        rows.push_back(compare("Peak RSS: kestrova vs `java -cp`", metric(series[0], rss), metric(series[1], rss), mib,
                               "<= 1.02x", 1.02));
        rows.push_back(compare("Peak RSS: kestrova vs jpackage image", metric(series[0], rss), metric(series[2], rss),
                               mib, "", std::nullopt));
        print_rows(rows);
        std::printf("\n");
    }

    // 2 and 5. The launcher's own work, measured inside the instrumented launcher, with a minimal
    // record and with a record at its limits; two probes put exec and the load of libjvm.so beside it.
    std::vector<Row> own_rows;
    if (s.wants(2) || s.wants(5)) {
        const fs::path minimal = make_bundle(s, s.marked_stage, {"HelloMarked", "Hello", {}, {}, {}});
        // The tool puts the class path and app.dir options first, so 253 of the 255 options are ours.
        const int base = record_size_of(s, minimal);
        const int our_options = max_record_entries - 2;
        const int left = max_record_size - base - our_options * (limits_option_length + 1);
        const int arg_length = left / max_record_entries - 1;
        if (arg_length < 1) fail("a record of 60-byte options leaves no room for 255 arguments");
        BundleRecipe limits{"HelloLimits", "Hello", {}, {}, {}};
        for (int i = 0; i < our_options; ++i) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "-Dbench.p%03d=&&/", i);
            std::string option = prefix;
            option.resize(limits_option_length, 'x');
            limits.jvm_options.push_back(option);
        }
        for (int i = 0; i < max_record_entries; ++i)
            limits.args.push_back(std::string(static_cast<std::size_t>(arg_length), 'a'));
        const fs::path full = make_bundle(s, s.marked_stage, limits);
        // The JVM on the main thread: what the hop to the JVM thread costs in the launcher's own work.
        const fs::path on_main = make_bundle(s, s.marked_stage,
                                             {"HelloMarkedMainThread", "Hello", {}, {}, {"--main-thread"}});
        const int full_size = record_size_of(s, full);
        std::printf(
            "Records: minimal %d bytes (2 options, 0 arguments); at the limits %d of %d bytes (255 options: the "
            "tool's 2 and %d of %d bytes with a && token; 255 arguments of %d bytes)\n\n",
            base, full_size, max_record_size, our_options, limits_option_length, arg_length);

        const std::vector<Command> commands = {
            {"kestrova (minimal record)", {minimal.string()}, {}, "main-end"},
            {"kestrova (record at its limits)", {full.string()}, {}, "main-end"},
            {"exec probe", {KESTROVA_BENCH_EXEC_PROBE}, {}, "main-entry"},
            {"exec probe with libjvm", {KESTROVA_BENCH_EXEC_PROBE_LIBJVM}, {}, "main-entry"},
            {"kestrova --main-thread (minimal record)", {on_main.string()}, {}, "main-end"},
        };
        const auto series = interleaved(commands, s.warmup, s.pairs, streams);
        auto to_main_end = [](const Run& r) { return r.ms_to("main-end"); };
        auto own = [](const Run& r) { return r.ms_to("create-jvm"); };
        rows.push_back(compare("Start to end of main: record at its limits vs minimal", metric(series[1], to_main_end),
                               metric(series[0], to_main_end), ms, "<= 1.02x", 1.02));
        rows.push_back(compare("Launcher's own work before JNI_CreateJavaVM: limits vs minimal", metric(series[1], own),
                               metric(series[0], own), ms, "", std::nullopt));

        auto column = [&](const std::vector<Run>& runs, const std::function<double(const Run&)>& of) {
            return ms(median(metric(runs, of)));
        };
        auto phase = [](const char* from, const char* to) {
            return [from, to](const Run& r) { return from == nullptr ? r.ms_to(to) : r.ms_between(from, to); };
        };
        auto exit_to_reaped = [](const Run& r) { return r.wall_ms() - r.ms_to("exit"); };
        struct Phase {
            const char* what;
            std::function<double(const Run&)> of;
        };
        const std::vector<Phase> phases = {
            {"exec to main (kernel exec, dynamic loading incl. libjvm.so, static init, record parse)",
             phase(nullptr, "main-entry")},
            {"main to JNI_CreateJavaVM (JVM thread, options, && expansion)", phase("main-entry", "create-jvm")},
            {"**launcher's own work before JNI_CreateJavaVM** (the two above)", phase(nullptr, "create-jvm")},
            {"JNI_CreateJavaVM (the JVM's)", phase("create-jvm", "jvm-created")},
            {"JVM created to end of main (Launcher.prepare, the application)", phase("jvm-created", "main-end")},
            {"main returned to atexit (DestroyJavaVM, exit handlers)", phase("main-returned", "exit")},
            {"atexit to reaped by the driver (process teardown)", exit_to_reaped},
        };
        std::printf("Launcher's own work, inside the instrumented launcher (medians):\n\n");
        std::printf(
            "| Phase | minimal record | record at its limits | minimal, --main-thread |\n"
            "| --- | --- | --- | --- |\n");
        for (const auto& p : phases)
            std::printf("| %s | %s | %s | %s |\n", p.what, column(series[0], p.of).c_str(),
                        column(series[1], p.of).c_str(), column(series[4], p.of).c_str());
        const double own_ms = median(metric(series[0], own));
        const double probe_ms = median(metric(series[2], phase(nullptr, "main-entry")));
        const double probe_jvm_ms = median(metric(series[3], phase(nullptr, "main-entry")));
        std::printf("| reference: exec to main of an empty program | %s | | |\n", ms(probe_ms).c_str());
        std::printf("| reference: exec to main of an empty program linked to libjvm.so | %s | | |\n\n",
                    ms(probe_jvm_ms).c_str());
        own_rows.push_back({"Launcher's own work before JNI_CreateJavaVM (minimal record)", ms(own_ms), "", own_ms,
                            "< 1 ms", own_ms < 1.0});
        const double own_less_libjvm = own_ms - (probe_jvm_ms - probe_ms);
        own_rows.push_back({"... less the load of libjvm.so (probe with libjvm minus empty probe)", ms(own_less_libjvm),
                            "", own_less_libjvm, "< 1 ms", own_less_libjvm < 1.0});
        std::fflush(stdout);
    }

    // 3. A Swing window under Xvfb: start to windowOpened, the launcher vs java -cp.
    if (!s.wants(3)) {
    } else if (s.skip_gui) {
        std::printf("GUI: not measured (--no-gui)\n\n");
    } else {
        Xvfb xvfb;
        if (xvfb.display().empty()) fail("Xvfb did not start (package xvfb)");
        const fs::path bundle = make_bundle(s, s.plain_stage, {"HelloWindowBench", "HelloWindow", {}, {}, {}});
        const std::map<std::string, std::string> env = {{"DISPLAY", xvfb.display()}};
        const std::vector<Command> commands = {
            {"kestrova (Swing)", {bundle.string()}, env, "window-opened"},
            {"java -cp (Swing)", {java, "-cp", s.hello_jar.string(), "HelloWindow"}, env, "window-opened"},
        };
        const auto series = interleaved(commands, s.warmup, s.gui_pairs, streams);
        auto opened = [](const Run& r) { return r.ms_to("window-opened"); };
        rows.push_back(compare("Swing window opened (Xvfb): kestrova vs `java -cp`", metric(series[0], opened),
                               metric(series[1], opened), ms, "<= 1.00x", 1.00));
    }

    // 4. The update gate against a local update site whose version is not newer than the bundle's.
    if (s.wants(4)) {
        kestrova::testing::HttpServer site;
        site.route("/metadata.properties",
                   kestrova::testing::HttpResponse::text(200, "app.version=1.0\napp.revision=5\n"));
        site.route("/appcast.xml",
                   kestrova::testing::HttpResponse::text(
                       200,
                       "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                       "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                       "<channel><title>HelloGate</title><item><title>1.0.5</title>"
                       "<sparkle:version>1.0.5</sparkle:version>"
                       "<enclosure url=\"http://127.0.0.1/none.zip\" sparkle:version=\"1.0.5\" length=\"1\" "
                       "type=\"application/octet-stream\"/></item></channel></rss>\n",
                       "application/xml"));
        const std::vector<std::string> common = {"--with-updater", "--feed-url", site.url("/appcast.xml"),
                                                 "--bundle-version", "1.0.5"};
        std::vector<std::string> aggressive = common;
        aggressive.push_back("--aggressive-updates");
        const fs::path log = s.work / "update.log";
        const fs::path gated = make_bundle(s, s.plain_stage, {"HelloGate", "Hello", {}, {}, aggressive});
        const fs::path ungated = make_bundle(s, s.plain_stage, {"HelloNoGate", "Hello", {}, {}, common});
        const std::map<std::string, std::string> env = {{"KESTROVA_UPDATE_LOG", log.string()}};
        fs::remove(log);
        const std::vector<Command> commands = {
            {"kestrova with the gate", {gated.string()}, env, "main-end"},
            {"kestrova without the gate", {ungated.string()}, env, "main-end"},
        };
        run_once(commands[0], streams);
        std::ifstream in(log);
        const std::string logged{std::istreambuf_iterator<char>(in), {}};
        if (logged.find("Version from metadata") == std::string::npos ||
            site.request_count("/metadata.properties") == 0) {
            std::printf(
                "gate: not measured (not built yet): the launcher fetched no metadata and logged no "
                "\"Version from metadata\"\n\n");
        } else {
            const auto series = interleaved(commands, s.warmup, s.pairs, streams);
            auto to_main_end = [](const Run& r) { return r.ms_to("main-end"); };
            rows.push_back(compare("Start to end of main: update gate (site not newer) vs none",
                                   metric(series[0], to_main_end), metric(series[1], to_main_end), ms, "<= 1.10x",
                                   1.10));
        }

        // The gate of a bundle that requires a signed feed, against the signed file a release of
        // the same version wrote: what checking the signature and the kept serial adds.
        const std::string pack = (s.plain_stage / "bin" / "kestrova-pack").string();
        const fs::path key = s.work / "gate-release.pem";
        fs::remove(key);
        const std::string printed = run_tool({pack, "generate-keys", "--key-file", key.string()});
        std::vector<std::string> signed_options = {
            "--with-updater",        "--feed-url",      site.url("/signed/appcast.xml"),
            "--bundle-version",      "1.0.5",           "--aggressive-updates",
            "--require-signed-feed", "--public-ed-key", printed.substr(0, printed.find_last_not_of("\r\n") + 1)};
        const fs::path signed_gate = make_bundle(s, s.plain_stage,
                                                 {"HelloSignedGate", "Hello", {}, {}, signed_options});
        // A release carries a runtime of its own; one of links to the JDK's entries is enough here.
        const fs::path app = signed_gate.parent_path().parent_path().parent_path();
        const fs::path home = app / "Contents" / "runtime" / "Contents" / "Home";
        const fs::path jdk = fs::canonical(home);
        fs::remove(home);
        fs::create_directory(home);
        for (const auto& entry : fs::directory_iterator(jdk))
            fs::create_symlink(entry.path(), home / entry.path().filename());
        const fs::path release_site = s.work / "gate-site";
        fs::remove_all(release_site);
        run_tool({pack, "release", app.string(), "--key-file", key.string(), "--site", release_site.string(),
                  "--download-url-prefix", site.url("/signed")});
        std::ifstream metadata_file(release_site / "metadata.properties");
        site.route("/signed/metadata.properties",
                   kestrova::testing::HttpResponse::text(200, std::string{std::istreambuf_iterator<char>(metadata_file),
                                                                          {}}));
        std::map<std::string, std::string> signed_env = env;
        signed_env["XDG_STATE_HOME"] = (s.work / "gate-state").string();
        const std::vector<Command> signed_commands = {
            {"kestrova with the signed gate", {signed_gate.string()}, signed_env, "main-end"},
            commands[0],
            commands[1],
        };
        fs::remove(log);
        run_once(signed_commands[0], streams);
        std::ifstream signed_in(log);
        const std::string signed_logged{std::istreambuf_iterator<char>(signed_in), {}};
        if (signed_logged.find("Version from metadata") == std::string::npos ||
            signed_logged.find("not trusted") != std::string::npos) {
            std::printf("signed gate: not measured: the signed metadata was not accepted:\n%s\n",
                        signed_logged.c_str());
        } else {
            const auto series = interleaved(signed_commands, s.warmup, s.pairs, streams);
            auto to_main_end = [](const Run& r) { return r.ms_to("main-end"); };
            rows.push_back(compare("Start to end of main: signed-feed gate vs none", metric(series[0], to_main_end),
                                   metric(series[2], to_main_end), ms, "<= 1.21x", 1.21));
            rows.push_back(compare("Start to end of main: signed-feed gate vs unsigned gate",
                                   metric(series[0], to_main_end), metric(series[1], to_main_end), ms, "",
                                   std::nullopt));
        }
    }

    // 6. An application with many JARs: the hello-world JAR first, then 40 library JARs of 500
    // entries each that the run never needs. Lookups of classes that are not in the first JAR open
    // every JAR before the one that holds them, so this shows what the launcher's own lookups cost.
    if (s.wants(6)) {
        const fs::path library_dir = s.work / "library";
        fs::remove_all(library_dir);
        for (int i = 0; i < 500; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "lib/p%d/C%d.class", i % 20, i);
            const fs::path file = library_dir / name;
            fs::create_directories(file.parent_path());
            std::ofstream(file) << "not a class, only an entry";
        }
        const fs::path library_jar = s.work / "library.jar";
        run_tool({(s.java_home / "bin" / "jar").string(), "--create", "--no-manifest", "--file", library_jar.string(),
                  "-C", library_dir.string(), "."});
        std::string class_path = s.hello_jar.string();
        std::vector<std::string> jar_options;
        for (int i = 0; i < many_jars; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "library%02d.jar", i);
            const fs::path jar = s.work / name;
            fs::copy_file(library_jar, jar, fs::copy_options::overwrite_existing);
            class_path += ":" + jar.string();
            jar_options.insert(jar_options.end(), {"--jar", jar.string()});
        }
        const fs::path bundle = make_bundle(s, s.plain_stage, {"HelloManyJars", "Hello", {}, {}, jar_options});
        const std::vector<Command> commands = {
            {"kestrova (41 JARs)", {bundle.string()}, {}, "main-end"},
            {"java -cp (41 JARs)", {java, "-cp", class_path, "Hello"}, {}, "main-end"},
        };
        const auto series = interleaved(commands, s.warmup, s.pairs, streams);
        auto to_main_end = [](const Run& r) { return r.ms_to("main-end"); };
        rows.push_back(compare("Start to end of main, 41 JARs: kestrova vs `java -cp`", metric(series[0], to_main_end),
                               metric(series[1], to_main_end), ms, "", std::nullopt));
    }

    // 7. A runtime made with jlink against the JDK linked: the bundles' size on disk, and the
    // console hello world's start to the end of main. Sizes are allocated blocks (as du -sB1
    // counts them) in decimal megabytes, 1,000,000 bytes.
    if (s.wants(7)) {
        auto disk_mb = [](const fs::path& root) {
            double bytes = 0;
            for (const auto& entry : fs::recursive_directory_iterator(root)) {
                struct stat info {};
                if (lstat(entry.path().c_str(), &info) == 0) bytes += static_cast<double>(info.st_blocks) * 512;
            }
            return bytes / 1e6;
        };
        Settings console = s;
        console.hello_jar = KESTROVA_BENCH_CONSOLE_JAR;
        const fs::path linked = make_bundle(console, s.plain_stage, {"HelloLinked", "Hello", {}, {}, {}});
        const fs::path jlinked = make_bundle(console, s.plain_stage, {"HelloJlink", "Hello", {}, {}, {"--jlink"}});
        const fs::path swing = make_bundle(s, s.plain_stage, {"HelloWindowJlink", "HelloWindow", {}, {}, {"--jlink"}});
        const auto app_of = [](const fs::path& executable) {
            return executable.parent_path().parent_path().parent_path();
        };
        const double hello_mb = disk_mb(app_of(jlinked));
        const double swing_mb = disk_mb(app_of(swing));
        own_rows.push_back({"Hello-world bundle with --jlink, on disk (MB)", std::to_string(hello_mb).substr(0, 6), "",
                            hello_mb, "<= 45", hello_mb <= 45});
        own_rows.push_back({"Swing bundle (HelloWindow) with --jlink, on disk (MB)",
                            std::to_string(swing_mb).substr(0, 6), "", swing_mb, "<= 70", swing_mb <= 70});
        const std::vector<Command> commands = {
            {"kestrova, jlinked runtime", {jlinked.string()}, {}, "main-end"},
            {"kestrova, JDK linked", {linked.string()}, {}, "main-end"},
        };
        const auto series = interleaved(commands, s.warmup, s.pairs, streams);
        auto to_main_end = [](const Run& r) { return r.ms_to("main-end"); };
        rows.push_back(compare("Start to end of main: --jlink runtime vs the JDK linked",
                               metric(series[0], to_main_end), metric(series[1], to_main_end), ms, "<= 1.00x", 1.00));
    }

    // 8. The class-data archive the launcher keeps: the first start of a fresh cache (which records
    // the classes and leaves the dump to a helper once it has ended), later starts that map the
    // archive, the same bundle with the archive off, and java -cp, interleaved, for the hello world,
    // the Swing window and an application of a few thousand classes of its own.
    if (s.wants(8)) {
        std::optional<Xvfb> xvfb;
        if (!s.skip_gui) xvfb.emplace();
        // The large application: 3000 classes of its own, each loaded and used once, and what a real
        // one takes from the JDK (collections, streams and lambdas, regular expressions, java.time).
        const fs::path many = s.work / "many";
        fs::remove_all(many);
        fs::create_directories(many / "src");
        {
            std::ofstream src(many / "src" / "Many.java");
            src << "import java.util.*;\nimport java.util.stream.*;\npublic class Many {\n"
                   "    interface Part { int value(int x); }\n";
            for (int i = 0; i < 3000; ++i)
                src << "    static final class C" << i << " implements Part { public int value(int x) { return x * "
                    << i << " + " << (i % 7) << "; } public String toString() { return \"C" << i << "\"; } }\n";
            src << "    public static void main(String[] args) {\n        List<Part> parts = new ArrayList<>();\n";
            for (int i = 0; i < 3000; ++i) src << "        parts.add(new C" << i << "());\n";
            src << "        Map<String, Integer> values = parts.stream().collect(Collectors.toMap(Object::toString, "
                   "p -> p.value(3)));\n"
                   "        long matched = values.keySet().stream().filter(k -> k.matches(\"C[0-9]*7\")).count();\n"
                   "        String day = java.time.LocalDate.of(2020, 1, 1).format(java.time.format.DateTimeFormatter.ISO_DATE);\n"
                   "        System.out.println(values.size() + \" \" + matched + \" \" + day);\n"
                   "        System.out.print(\"kestrova-bench main-end \");\n"
                   "        System.out.println(System.nanoTime());\n    }\n}\n";
        }
        run_tool({(s.java_home / "bin" / "javac").string(), "--release", "17", "-d", (many / "classes").string(),
                  (many / "src" / "Many.java").string()});
        const fs::path many_jar = many / "many.jar";
        run_tool({(s.java_home / "bin" / "jar").string(), "--create", "--file", many_jar.string(), "-C",
                  (many / "classes").string(), "."});
        Settings large = s;
        large.hello_jar = many_jar;

        struct App {
            const char* what;
            fs::path bundle;
            std::string jar;
            const char* main_class;
            const char* stamp;
            double goal;
        };
        std::vector<App> apps = {
            {"hello world", make_bundle(s, s.plain_stage, {"HelloClassData", "Hello", {}, {}, {}}), s.hello_jar,
             "Hello", "main-end", 0.97},
            {"3000-class application", make_bundle(large, s.plain_stage, {"ManyClassData", "Many", {}, {}, {}}),
             many_jar, "Many", "main-end", 0.85},
        };
        if (xvfb && !xvfb->display().empty())
            apps.insert(apps.begin() + 1,
                        {"Swing window", make_bundle(s, s.plain_stage, {"WindowClassData", "HelloWindow", {}, {}, {}}),
                         s.hello_jar, "HelloWindow", "window-opened", 0.85});
        const int rounds = s.gui_pairs;
        for (const auto& app : apps) {
            const fs::path first_cache = s.work / "cds-first";
            const fs::path kept_cache = s.work / "cds-kept";
            std::map<std::string, std::string> env;
            if (xvfb) env["DISPLAY"] = xvfb->display();
            auto with = [&](const char* name, const std::string& value) {
                auto e = env;
                e[name] = value;
                return e;
            };
            const Command first{"first start",
                                {app.bundle.string()},
                                with("XDG_CACHE_HOME", first_cache.string()),
                                app.stamp};
            const Command later{"later start",
                                {app.bundle.string()},
                                with("XDG_CACHE_HOME", kept_cache.string()),
                                app.stamp};
            const Command off{"archive off", {app.bundle.string()}, with("KESTROVA_NO_CLASS_DATA", "1"), app.stamp};
            const Command plain{"java -cp", {java, "-cp", app.jar, app.main_class}, env, app.stamp};
            // The archive of a cache, once the helper has renamed it into place; its size.
            auto archive_of = [](const fs::path& cache) -> std::optional<fs::path> {
                std::error_code ec;
                for (const auto& entry : fs::recursive_directory_iterator(cache, ec))
                    if (entry.path().extension() == ".jsa") return entry.path();
                return std::nullopt;
            };
            auto wait_for_archive = [&](const fs::path& cache) {
                const auto began_wait = now_ns();
                while (!archive_of(cache)) {
                    if (now_ns() - began_wait > 300'000'000'000LL) fail("no archive was made within 300 s");
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                return static_cast<double>(now_ns() - began_wait) / 1e6;
            };
            fs::remove_all(kept_cache);
            run_once(later, streams);
            wait_for_archive(kept_cache);
            std::vector<Run> firsts, laters, offs, plains;
            std::vector<double> dumps;
            for (int r = 0; r < s.warmup + rounds; ++r) {
                fs::remove_all(first_cache);
                Run a = run_once(first, streams);
                // The dump follows the first start; it is waited for, so it competes with no run.
                const double dump_ms = wait_for_archive(first_cache);
                Run b = run_once(later, streams);
                Run c = run_once(off, streams);
                Run d = run_once(plain, streams);
                if (r < s.warmup) continue;
                firsts.push_back(std::move(a));
                laters.push_back(std::move(b));
                offs.push_back(std::move(c));
                plains.push_back(std::move(d));
                dumps.push_back(dump_ms);
            }
            const std::string stamp = app.stamp;
            auto to_stamp = [stamp](const Run& r) { return r.ms_to(stamp); };
            auto rss = [](const Run& r) { return static_cast<double>(r.max_rss_kib); };
            char goal[16];
            std::snprintf(goal, sizeof goal, "<= %.2fx", app.goal);
            const std::string what = app.what;
            rows.push_back(compare("Class data, " + what + ", later start vs `java -cp`", metric(laters, to_stamp),
                                   metric(plains, to_stamp), ms, goal, app.goal));
            rows.push_back(compare("Class data, " + what + ", later start vs archive off", metric(laters, to_stamp),
                                   metric(offs, to_stamp), ms, "", std::nullopt));
            rows.push_back(compare("Class data, " + what + ", first start vs `java -cp`", metric(firsts, to_stamp),
                                   metric(plains, to_stamp), ms, "<= 1.10x", 1.10));
            rows.push_back(compare("Class data, " + what + ", archive off vs `java -cp`", metric(offs, to_stamp),
                                   metric(plains, to_stamp), ms, "", std::nullopt));
            rows.push_back(compare("Class data, " + what + ", peak RSS, later start vs `java -cp`", metric(laters, rss),
                                   metric(plains, rss), mib, "<= 1.05x", 1.05));
            rows.push_back(compare("Class data, " + what + ", peak RSS, first start vs `java -cp`", metric(firsts, rss),
                                   metric(plains, rss), mib, "<= 1.05x", 1.05));
            const double size_mb = static_cast<double>(fs::file_size(*archive_of(kept_cache))) / 1e6;
            std::printf(
                "Class data, %s: archive %.1f MB; the dump after the first start took %s (median, idle "
                "priority)\n",
                app.what, size_mb, ms(median(dumps)).c_str());
            print_rows({rows.end() - 6, rows.end()});
            std::printf("\n");
        }
    }

    std::printf("Results:\n\n");
    print_rows(rows);
    std::printf("\n| Measurement | median | | | Goal | |\n| --- | --- | --- | --- | --- | --- |\n");
    for (const auto& r : own_rows)
        std::printf("| %s | %s | | | %s | %s |\n", r.what.c_str(), r.a.c_str(), r.goal.c_str(),
                    *r.met ? "met" : "**missed**");
    std::printf("\nLoad average at the end: %s; whole run %.0f s\n", load_average().c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    return 0;
}
