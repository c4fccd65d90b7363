// A file descriptor's owner and the read and write loops, for every part that handles files by
// descriptor.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace kestrova {

// A descriptor closed on every path out. It only ever calls close(2), so a signal handler may use
// it too. Where the result of a close matters (a delayed write error), call close() and check it.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Hands the descriptor over to whoever closes it next (a DIR*, another process's table).
    int release() { return std::exchange(fd_, -1); }
    // Closes now and reports close's own result, which can carry a delayed write error.
    int close() {
        if (fd_ < 0) return 0;
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_ = -1;
};

// Puts the entries of `directory` on disk, after a rename or an exchange in it. Best effort: what
// was renamed stays renamed, so a failure has nothing to undo and no one to tell.
inline void sync_directory(const std::filesystem::path& directory) {
    const FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

// Writes all of `bytes`, retrying after signals. Returns 0, or the errno of the write that failed
// (ENOSPC when the system wrote nothing and said no more).
inline int write_all(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return ENOSPC;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

// Replaces `file` with `bytes` whole or not at all: written to a hidden temporary file beside it
// (".NAME.XXXXXX", which nothing that lists the directory for NAME's kind of file reads), given
// `mode`, flushed, then renamed over it. Returns 0, or the errno of the step that failed; the
// temporary file is then gone and `file` as it was.
inline int replace_file(const std::filesystem::path& file, std::string_view bytes, mode_t mode) {
    std::string aside = (file.parent_path() / ("." + file.filename().string() + ".XXXXXX")).string();
    FileDescriptor fd(::mkstemp(aside.data()));
    if (fd.get() < 0) return errno;
    int error = ::fchmod(fd.get(), mode) == 0 ? write_all(fd.get(), bytes) : errno;
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    if (fd.close() != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(aside.c_str(), file.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(aside.c_str());
    return error;
}

// Appends to `out` (a std::string or std::vector<char>) what `fd` holds up to its end, but no more than `limit` bytes, retrying after
// signals; a caller that wants to know whether there was more asks for one byte beyond what it
// accepts. Returns 0, or the errno of the read that failed.
template <class Bytes>
int read_up_to(int fd, Bytes& out, std::size_t limit) {
    char chunk[1 << 16];
    for (std::size_t done = 0; done < limit;) {
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        out.insert(out.end(), chunk, chunk + n);
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace kestrova
