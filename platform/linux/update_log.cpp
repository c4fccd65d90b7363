#include "platform/update_log.h"

#include "kestrova/file_descriptor.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/environment.h"
#include "platform/linux/update_log_internal.h"
#include "platform/never_destroyed.h"

namespace kestrova::platform {

namespace {

// Appends `s` with each newline written as backslash-n. Backslashes stay as they are: the log is
// for people reading it, and a record is one line, which is all that escaping must guarantee.
void append_escaped(std::string& out, std::string_view s) {
    for (const char c : s) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

// Writes the whole line with one write(): O_APPEND makes each write land at the end as a unit, so
// records of threads and processes writing at once never mix within a line. A short write (a
// full disk) is finished with further writes; nothing better can be done then.
//
// Nothing here may block: the log is written on the main thread, before the JVM exists and while
// alerts wait to be served. So the file is opened and written without blocking. A named pipe that
// nobody reads cannot be opened that way (ENXIO), and one whose reader has stopped takes no more
// (EAGAIN); the record is dropped then, and the first time the user hears why.
void append_line_to_file(const std::string& path, const std::string& line) {
    const FileDescriptor fd(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
    if (fd.get() < 0) {
        static std::atomic<bool> told{false};
        if (errno == ENXIO && !told.exchange(true))
            std::fprintf(stderr,
                         "kestrova: the update log %s is a named pipe that nobody reads, so update records are "
                         "dropped; point KESTROVA_UPDATE_LOG at a regular file.\n",
                         path.c_str());
        return;  // the log is best effort: a record that cannot be written is dropped
    }
    // EAGAIN included: a pipe that is full stays so for as long as its reader sleeps
    write_all(fd.get(), line);
}

// syslog's ident is process-wide, so a record of another subsystem than the last one reopens the
// log under its own ident first. One mutex orders that pair of calls.
std::mutex& syslog_mutex() {
    static NeverDestroyed<std::mutex> mutex;
    return mutex.get();
}
const char* current_syslog_ident = nullptr;  // guarded by syslog_mutex()

}  // namespace

struct UpdateLog::Impl {
    std::string subsystem;  // syslog's ident points into it for the rest of the process
    std::string category;
    std::optional<std::string> file;  // the file records go to, or syslog when absent
};

namespace linux_backend {

std::string format_log_line(std::chrono::system_clock::time_point time, std::string_view category,
                            std::string_view message) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    const int millis = static_cast<int>(((ms % 1000) + 1000) % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);  // UTC needs no time zone data, so nothing reads TZ
    char stamp[48];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", millis);

    std::string line = stamp;
    line += ' ';
    append_escaped(line, category);
    line += ": ";
    append_escaped(line, message);
    line += '\n';
    return line;
}

namespace {

// Handles live until the process ends (Java threads may log while exit() runs); kept here so that
// they stay reachable rather than merely unfreed.
UpdateLog* keep(UpdateLog::Impl* impl) {
    static NeverDestroyed<std::mutex> mutex;
    static NeverDestroyed<std::vector<std::unique_ptr<UpdateLog::Impl>>> impls;
    static NeverDestroyed<std::vector<std::unique_ptr<UpdateLog>>> logs;
    std::lock_guard lock(mutex.get());
    impls.get().emplace_back(impl);
    return logs.get().emplace_back(std::make_unique<UpdateLog>(impl)).get();
}

}  // namespace

UpdateLog* create_file_update_log(std::string path, std::string_view category) {
    return keep(new UpdateLog::Impl{std::string(), std::string(category), std::move(path)});
}

UpdateLog* create_syslog_update_log(std::string_view subsystem, std::string_view category) {
    return keep(new UpdateLog::Impl{std::string(subsystem), std::string(category), std::nullopt});
}

}  // namespace linux_backend

UpdateLog* UpdateLog::create(std::string_view subsystem, std::string_view category) {
    // One handle per subsystem and category, as os_log_create hands back: creating the same log
    // again costs nothing and leaks nothing.
    static NeverDestroyed<std::mutex> mutex;
    static NeverDestroyed<std::map<std::pair<std::string, std::string>, UpdateLog*>> logs;
    std::lock_guard lock(mutex.get());
    auto key = std::make_pair(std::string(subsystem), std::string(category));
    if (auto found = logs.get().find(key); found != logs.get().end()) return found->second;

    auto file = linux_backend::captured_variable("KESTROVA_UPDATE_LOG");
    if (file && file->empty()) file.reset();
    UpdateLog* log = linux_backend::keep(new Impl{key.first, key.second, std::move(file)});
    logs.get().emplace(std::move(key), log);
    return log;
}

bool UpdateLog::default_enabled() const {
    if (impl_->file) return true;
    std::lock_guard lock(syslog_mutex());
    return (setlogmask(0) & LOG_MASK(LOG_NOTICE)) != 0;  // a mask of 0 only reads the current one
}

void UpdateLog::write(std::string_view format, std::initializer_list<std::string_view> args) {
    const std::string message = format_log_message(format, args);
    if (impl_->file) {
        append_line_to_file(*impl_->file,
                            linux_backend::format_log_line(std::chrono::system_clock::now(), impl_->category, message));
        return;
    }
    std::string record;
    append_escaped(record, impl_->category);
    record += ": ";
    record += message;
    std::lock_guard lock(syslog_mutex());
    if (current_syslog_ident != impl_->subsystem.c_str()) {
        openlog(impl_->subsystem.c_str(), LOG_PID, LOG_USER);
        current_syslog_ident = impl_->subsystem.c_str();
    }
    syslog(LOG_NOTICE, "%s", record.c_str());
}

}  // namespace kestrova::platform
