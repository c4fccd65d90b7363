#include "platform/class_data_cache.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <type_traits>

#include "core/class_data.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "platform/linux/child_process.h"
#include "platform/linux/environment.h"
#include "platform/process.h"

namespace kestrova::platform {

namespace {

namespace fs = std::filesystem;

constexpr const char* helper_variable = "KESTROVA_CLASS_DATA_HELPER";
constexpr const char* bundle_file = "bundle";
constexpr const char* lock_file = ".lock";

// $XDG_CACHE_HOME when it is absolute (a relative one is to be ignored), else ~/.cache.
std::optional<std::string> cache_home() {
    if (auto xdg = linux_backend::captured_variable("XDG_CACHE_HOME"); xdg && xdg->starts_with('/')) return xdg;
    if (auto home = linux_backend::captured_variable("HOME"); home && home->starts_with('/')) return *home + "/.cache";
    if (const passwd* entry = getpwuid(geteuid()); entry != nullptr && entry->pw_dir != nullptr)
        return std::string(entry->pw_dir) + "/.cache";
    return std::nullopt;
}

// Makes `path` a directory when missing and tells whether it is this user's alone: a directory, not
// a link, owned by this user, writable by nobody else.
bool private_directory(const std::string& path, bool make) {
    if (make && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 022) == 0;
}

std::string read_small_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Idle CPU and I/O priority: the dump must never slow down what the user does meanwhile, such as
// the next start of the application.
void become_idle() {
    setpriority(PRIO_PROCESS, 0, 19);
    sched_param param{};
    sched_setscheduler(0, SCHED_IDLE, &param);
    constexpr int ioprio_class_idle = 3;
    constexpr int ioprio_who_process = 1;
    syscall(SYS_ioprio_set, ioprio_who_process, 0, ioprio_class_idle << 13);
}

void wait_for_end_of(long parent) {
    // Reparented already: the parent has ended.
    if (getppid() != parent) return;
    const FileDescriptor pidfd(static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(parent), 0)));
    if (pidfd.valid()) {
        pollfd entry{pidfd.get(), POLLIN, 0};
        while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
        }
        return;
    }
    // Kernels before 5.3.
    while (getppid() == parent) usleep(200000);
}

// A file of this user's, regular and at most `limit` bytes, read whole without blocking on a FIFO.
std::optional<std::string> read_private_file(const std::string& path, std::size_t limit) {
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    struct stat info {};
    std::optional<std::string> text;
    if (fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
        static_cast<std::uint64_t>(info.st_size) <= limit) {
        text.emplace(static_cast<std::size_t>(info.st_size), '\0');
        if (pread(fd.get(), text->data(), text->size(), 0) != static_cast<ssize_t>(text->size())) text.reset();
    }
    return text;
}

// Writes `text` as `name` in `directory` through a temporary name, so that a reader sees the old
// file or the new one whole.
bool write_private_file(const std::string& directory, const std::string& name, std::string_view text) {
    const std::string temporary = directory + "/" + name + "." + std::to_string(getpid()) + ".new";
    FileDescriptor fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) return false;
    const bool written = write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         fsync(fd.get()) == 0;
    fd.close();  // flushed above, so its result tells nothing more
    if (!written || rename(temporary.c_str(), (directory + "/" + name).c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// A checked-files file is a line per JAR of the class path; a megabyte is far beyond any application.
constexpr std::size_t largest_checked_files = 1 << 20;

// The file of a finished dump, flushed, so that a crash of the machine after the rename cannot
// leave an archive name on a file whose blocks never reached the disk.
std::optional<std::uint64_t> finished_archive(const std::string& path) {
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    struct stat info {};
    unsigned char start[4] = {};
    const bool ok = fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
                    static_cast<std::uint64_t>(info.st_size) >= class_data::smallest_archive &&
                    pread(fd.get(), start, sizeof start, 0) == static_cast<ssize_t>(sizeof start) &&
                    class_data::header_is_static_archive(start) && fsync(fd.get()) == 0;
    if (!ok) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

// Keeps the cache bounded: one archive per bundle location, and none for a bundle that is gone (a
// moved or removed bundle, whose old location no start names again).
void drop_what_is_not_needed(const ClassDataJob& job, const std::string& kept) {
    for (const auto& name : directory_names(job.directory)) {
        if (name == kept || name == class_data::checked_files_name(job.key) ||
            name == class_data::sample_name(job.key) || name == lock_file || name == bundle_file)
            continue;
        // Another running copy's class list of this key: its own helper removes it. The list of a
        // copy that ended without starting one (a crash, a kill) goes.
        if (class_data::belongs_to(name, job.key) && name.ends_with(".classlist")) {
            const long pid = std::strtol(name.c_str() + job.key.size() + 1, nullptr, 10);
            if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)) continue;
        }
        unlink((job.directory + "/" + name).c_str());
    }
    std::error_code ec;
    const fs::path slots = fs::path(job.directory).parent_path();
    const fs::path own = fs::path(job.directory).filename();
    for (const auto& entry : fs::directory_iterator(slots, ec)) {
        if (entry.path().filename() == own) continue;
        const std::string bundle = read_small_file((entry.path() / bundle_file).string());
        if (!bundle.empty() && !fs::exists(fs::path(bundle) / kestrova::bundle_layout::info_plist, ec))
            fs::remove_all(entry.path(), ec);
    }
}

}  // namespace

std::optional<std::string> class_data_directory(std::string_view slot, bool make) {
    const auto home = cache_home();
    if (!home) return std::nullopt;
    // The cache itself may be missing on a fresh account; it is the user's, made as XDG says.
    std::error_code ec;
    if (make && !fs::is_directory(*home, ec)) {
        fs::create_directories(*home, ec);
        if (ec) return std::nullopt;
    }
    std::string path = *home;
    for (std::string_view part : {std::string_view("kestrova"), std::string_view("class-data"), slot}) {
        path += '/';
        path += part;
        if (!private_directory(path, make)) return std::nullopt;
    }
    return path;
}

std::string user_and_machine() {
    std::string machine = read_small_file("/etc/machine-id");
    if (machine.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        machine = host;
    }
    return "uid " + std::to_string(geteuid()) + " on " + machine;
}

std::string file_facts(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return "";
    return std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_ctim.tv_sec) + "." +
           std::to_string(info.st_ctim.tv_nsec) + " " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::vector<std::string> directory_names(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory, ec)) names.push_back(entry.path().filename().string());
    return names;
}

std::optional<std::vector<unsigned char>> complete_file_start(const std::string& path, std::uint64_t size,
                                                              std::size_t count) {
    // Non-blocking: a FIFO in the file's place must not hold the start.
    const FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return std::nullopt;
    struct stat info {};
    std::vector<unsigned char> start(count);
    const bool ok = fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
                    static_cast<std::uint64_t>(info.st_size) == size && count <= size &&
                    pread(fd.get(), start.data(), count, 0) == static_cast<ssize_t>(count);
    if (!ok) return std::nullopt;
    return start;
}

ClassDataSlot examine_class_data_slot(const std::string& directory, std::string_view key) {
    ClassDataSlot slot;
    for (const auto& name : directory_names(directory)) {
        if (name == class_data::failed_name(key)) slot.dump_failed = true;
        const auto size = class_data::archive_size(name, key);
        if (!size || *size < class_data::smallest_archive || slot.archive) continue;
        std::string path = (directory + '/').append(name);
        const auto start = complete_file_start(path, *size, 4);
        if (start && class_data::header_is_static_archive(*start)) slot.archive = std::move(path);
    }
    if (slot.archive) {
        // An archive without its record was made before the record existed, or by a helper killed
        // between the two: its JARs cannot be checked, so it is made again.
        const auto record = read_private_file(directory + "/" + class_data::checked_files_name(key),
                                              largest_checked_files);
        if (!record || !class_data::checked_files_unchanged(*record, file_facts)) slot.archive.reset();
    }
    if (slot.archive) {
        struct stat info {};
        slot.sample_pending = lstat((directory + "/" + class_data::sample_name(key)).c_str(), &info) == 0;
    }
    return slot;
}

bool create_private_file(const std::string& path) {
    return FileDescriptor(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)).valid();
}

namespace {

// Set once by the start, read by whichever thread ends the process; never freed.
std::atomic<const ClassDataJob*> pending_job{nullptr};
static_assert(std::is_trivially_destructible_v<std::atomic<const ClassDataJob*>>);

void start_class_data_helper(const ClassDataJob& job) {
    char executable[4096];
    const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
    if (length <= 0) return;
    executable[length] = '\0';

    const std::string parent = std::to_string(job.parent);
    std::string marker = std::string(helper_variable) + "=1";
    std::vector<char*> envp;
    for (char* const* entry = linux_backend::captured_envp(); entry != nullptr && *entry != nullptr; ++entry)
        envp.push_back(*entry);
    envp.push_back(marker.data());
    envp.push_back(nullptr);

    linux_backend::ChildSetup setup;
    // Nothing of this process's open files (the child gets none from 3 up either): a descriptor
    // holding the installation's lock, a pipe whose reader waits for its end, must not live on in
    // the helper.
    setup.input = setup.output = setup.error = linux_backend::ChildStream::to_null();
    // Its own session: closing the terminal or the test's process group does not end the dump.
    setup.new_session = true;
    setup.envp = envp.data();
    linux_backend::Child helper;
    const int error = linux_backend::start_child({executable, parent, job.directory, job.key, job.class_list,
                                                  job.bundle},
                                                 setup, helper);
    // It outlives this process, which is ending: nobody here waits for it.
    helper.release();
    // No helper, no use for the list: nobody would remove it.
    if (error != 0) unlink((job.directory + "/" + job.class_list).c_str());
}

// The end of the process's action: starts the helper of the last job given, once.
void start_pending_class_data_helper(int) noexcept {
    try {
        if (const ClassDataJob* job = pending_job.exchange(nullptr)) start_class_data_helper(*job);
    } catch (...) {
        // Out of memory for the arguments: no archive this time.
    }
}

// Set once the end's action is added: a later job only takes the earlier one's place.
std::atomic<bool> end_action_added{false};

}  // namespace

void start_class_data_helper_at_end(const ClassDataJob& job) {
    pending_job.store(new ClassDataJob(job));
    // Before an action that may replace the program, which would leave no process to start it from.
    if (!end_action_added.exchange(true))
        run_before_end_of_process(&start_pending_class_data_helper, EndOfProcessStage::leaves_something_behind);
}

std::optional<ClassDataJob> class_data_helper_job(int argc, char** argv) {
    const char* marker = std::getenv(helper_variable);
    if (marker == nullptr || std::strcmp(marker, "1") != 0 || argc != 6) return std::nullopt;
    char* end = nullptr;
    const long parent = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || parent <= 0) return std::nullopt;
    return ClassDataJob{parent, argv[2], argv[3], argv[4], argv[5]};
}

namespace {

// The dump runs in a child of the helper, so that a JVM that crashes or exits on its own still
// leaves the helper to clean up after it.
struct DumpWork {
    int (*dump)(const std::string&, const std::string&);
    const std::string* list;
    const std::string* archive;
};

int run_dump(void* argument) {
    const auto* work = static_cast<const DumpWork*>(argument);
    return work->dump(*work->list, *work->archive);
}

}  // namespace

int run_class_data_job(const ClassDataJob& job, int (*dump)(const std::string&, const std::string&)) {
    unsetenv(helper_variable);
    become_idle();
    wait_for_end_of(job.parent);

    const std::string list = job.directory + "/" + job.class_list;
    const int lock = open((job.directory + "/" + lock_file).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    // Another copy's helper is at work in this directory: it makes the archive.
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        unlink(list.c_str());
        return 0;
    }
    // A damaged or outdated archive of the key is made again: the starts that found it unusable
    // recorded a list for this. A usable one is made again only from a list that outgrows the one
    // it was made from, and that is asked once.
    const bool remake = examine_class_data_slot(job.directory, job.key).archive.has_value();
    if (remake) {
        const std::string sample_path = job.directory + "/" + class_data::sample_name(job.key);
        const auto sample = read_private_file(sample_path, 32);
        unlink(sample_path.c_str());
        struct stat info {};
        const bool outgrows = sample && stat(list.c_str(), &info) == 0 &&
                              class_data::list_outgrows(std::strtoull(sample->c_str(), nullptr, 10),
                                                        static_cast<std::uint64_t>(info.st_size));
        if (!outgrows) {
            unlink(list.c_str());
            return 0;
        }
    }
    struct stat list_info {};
    const std::uint64_t list_size = stat(list.c_str(), &list_info) == 0 ? static_cast<std::uint64_t>(list_info.st_size)
                                                                        : 0;

    const std::string temporary = job.directory + "/" + job.key + "." + std::to_string(getpid()) + ".dumping";
    DumpWork work{dump, &list, &temporary};
    linux_backend::Child child;
    if (linux_backend::start_child_work(&run_dump, &work, {}, child) != 0) {
        unlink(list.c_str());
        return 1;
    }
    const linux_backend::ChildEnd end = child.reap();
    const auto size = end.exited && end.exit_status == 0 ? finished_archive(temporary) : std::nullopt;
    unlink(list.c_str());
    const std::string log = class_data::dump_log_of(temporary);
    const auto checked = read_private_file(log, largest_checked_files);
    unlink(log.c_str());
    const auto record = checked ? class_data::checked_files_record(class_data::checked_files(*checked), file_facts)
                                : std::nullopt;
    if (!size || !record) {
        unlink(temporary.c_str());
        create_private_file(job.directory + "/" + class_data::failed_name(job.key));
        return 1;
    }
    // The key's unusable archive goes first: no start may pair it with the new record.
    for (const auto& name : directory_names(job.directory))
        if (class_data::archive_size(name, job.key)) unlink((job.directory + "/" + name).c_str());
    const std::string name = class_data::archive_name(job.key, *size);
    // The first archive of a key waits for one later start to be compared with, a remade one does
    // not; written before the archive's name, so that the first start to find the archive samples.
    if (!remake) write_private_file(job.directory, class_data::sample_name(job.key), std::to_string(list_size));
    if (!write_private_file(job.directory, class_data::checked_files_name(job.key), *record) ||
        rename(temporary.c_str(), (job.directory + "/" + name).c_str()) != 0) {
        unlink(temporary.c_str());
        return 1;
    }
    sync_directory(job.directory);
    std::ofstream(job.directory + "/" + bundle_file, std::ios::trunc) << job.bundle << '\n';
    drop_what_is_not_needed(job, name);
    return 0;
}

}  // namespace kestrova::platform
