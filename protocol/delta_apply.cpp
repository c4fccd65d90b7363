// Reading a delta and building the new tree from it and the old one, in one pass over the delta.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "kestrova/text.h"
#include "protocol/delta.h"
#include "protocol/delta_libraries.h"
#include "protocol/tree_digest.h"

namespace kestrova::protocol {

namespace {

using delta_libraries::Libarchive;
using delta_libraries::Zstd;

constexpr std::string_view msg_unreadable = "the delta cannot be read ({}); download it again";
constexpr std::string_view msg_no_manifest = "the delta does not start with its manifest; make the delta again";
constexpr std::string_view msg_manifest_too_large =
    "the delta's manifest is larger than {} bytes; it cannot be applied";
constexpr std::string_view msg_other_bundle = "the delta is for {}, not for {}";
constexpr std::string_view msg_other_version = "the delta is made from version {}, and version {} is installed";
constexpr std::string_view msg_missing_data =
    "the delta lacks the data of \"{}\" or holds it out of order; make it again";
constexpr std::string_view msg_extra_data = "the delta holds data that no entry of its manifest uses; make it again";
constexpr std::string_view msg_old_missing =
    "the installed bundle has no file \"{}\", which the delta was made from: it was changed after it was installed";
constexpr std::string_view msg_old_changed =
    "the installed file \"{}\" is not the one the delta was made from: it was changed after it was installed";
constexpr std::string_view msg_bad_patch = "the delta's data for \"{}\" does not decode ({}); download it again";
constexpr std::string_view msg_wrong_size = "the delta's data for \"{}\" gives {} bytes where its manifest declares {}";
constexpr std::string_view msg_cannot_write = "the new tree cannot be written at \"{}\" ({})";
constexpr std::string_view msg_digest_differs =
    "the tree built from the delta is not the signed one: the installed bundle differs from the one the delta was "
    "made from, or the delta is damaged";

std::string errno_text(int error) { return std::generic_category().message(error); }

std::string say(std::string_view pattern, std::initializer_list<std::string_view> values) {
    return fill_placeholders(pattern, "{}", values);
}

struct ReaderFree {
    const Libarchive* lib;
    void operator()(archive* a) const { lib->read_free(a); }
};
struct DctxFree {
    const Zstd* lib;
    void operator()(ZSTD_DCtx* d) const { lib->free_dctx(d); }
};

// A read-only view of an old file that a patch refers to, unmapped on every path out.
class Mapping {
public:
    Mapping(int fd, std::size_t size) : size_(size) {
        if (size_ == 0) return;
        data_ = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (data_ == MAP_FAILED) data_ = nullptr;
    }
    ~Mapping() {
        if (data_ != nullptr) ::munmap(data_, size_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    bool ok() const { return size_ == 0 || data_ != nullptr; }
    const void* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void* data_ = nullptr;
    std::size_t size_;
};

class DeltaApplier {
public:
    DeltaApplier(int delta_fd, int old_bundle_fd, const DeltaLimits& limits)
        : zstd_(delta_libraries::zstd()),
          lib_(delta_libraries::libarchive()),
          reader_(lib_.read_new(), ReaderFree{&lib_}),
          old_fd_(old_bundle_fd),
          limits_(limits) {
        if (!reader_ || ::lseek(delta_fd, 0, SEEK_SET) != 0 ||
            lib_.read_support_format_tar(reader_.get()) != ARCHIVE_OK ||
            lib_.read_open_fd(reader_.get(), delta_fd, 1 << 16) != ARCHIVE_OK)
            unreadable();
    }

    DeltaManifest read_manifest() {
        archive_entry* entry = next_member();
        if (entry == nullptr || std::strcmp(lib_.entry_pathname(entry), "manifest") != 0)
            throw DeltaError(std::string(msg_no_manifest));
        const la_int64_t size = lib_.entry_size(entry);
        if (size < 0 || static_cast<std::uint64_t>(size) > limits_.max_manifest_bytes)
            throw DeltaError(say(msg_manifest_too_large, {std::to_string(limits_.max_manifest_bytes)}));
        std::string text;
        read_member([&](const void* bytes, std::size_t n) { text.append(static_cast<const char*>(bytes), n); });
        return parse_delta_manifest(text, limits_);
    }

    // The size of each data member, for inspection; the manifest's entries in order.
    void measure(DeltaManifest& manifest) {
        for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
            DeltaEntry& e = manifest.entries[i];
            if (e.kind != DeltaKind::patch && e.kind != DeltaKind::added) continue;
            read_member(expect_data(i, e), [&](const void*, std::size_t n) { e.payload_bytes += n; });
        }
        expect_end();
    }

    void build(const DeltaManifest& m, int into_fd, std::string_view name) {
        if (::mkdirat(into_fd, std::string(name).c_str(), 0700) != 0) cannot_write(std::string(name), errno);
        dirs_.push_back({FileDescriptor(::openat(into_fd, std::string(name).c_str(),
                                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
                         m.top_mode, std::string(name)});
        if (dirs_.back().fd.get() < 0) cannot_write(std::string(name), errno);
        TreeDigest digest(name, m.top_mode);

        for (std::size_t i = 0; i < m.entries.size(); ++i) {
            const DeltaEntry& e = m.entries[i];
            // Tree order, which the manifest's reader checked, keeps each entry's parent open on top.
            const std::size_t depth = static_cast<std::size_t>(std::count(e.path.begin(), e.path.end(), '/')) + 1;
            while (dirs_.size() > depth) close_directory();
            const int parent = dirs_.back().fd.get();
            const std::string base = e.path.substr(e.path.rfind('/') + 1);
            const std::string full = std::string(name) + "/" + e.path;
            switch (e.kind) {
                case DeltaKind::directory: {
                    if (::mkdirat(parent, base.c_str(), 0700) != 0) cannot_write(full, errno);
                    dirs_.push_back({FileDescriptor(::openat(parent, base.c_str(),
                                                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
                                     e.mode, full});
                    if (dirs_.back().fd.get() < 0) cannot_write(full, errno);
                    digest.add_directory(full, e.mode);
                    break;
                }
                case DeltaKind::link: {
                    struct stat info {};
                    if (::symlinkat(e.target.c_str(), parent, base.c_str()) != 0 ||
                        ::fstatat(parent, base.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
                        cannot_write(full, errno);
                    digest.add_link(full, info.st_mode & 07777, e.target);
                    break;
                }
                default: {
                    FileDescriptor out(
                        ::openat(parent, base.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
                    if (out.get() < 0) cannot_write(full, errno);
                    digest.add_file(full, e.mode, e.size);
                    write_file(i, e, out.get(), full, digest);
                    if (::fchmod(out.get(), e.mode) != 0 || out.close() != 0) cannot_write(full, errno);
                }
            }
        }
        while (!dirs_.empty()) close_directory();
        expect_end();
        if (digest.hex() != m.tree_digest) throw DeltaError(std::string(msg_digest_differs));
    }

private:
    struct OpenDirectory {
        FileDescriptor fd;
        unsigned mode;
        std::string path;
    };

    [[noreturn]] void unreadable() const {
        const char* text = reader_ ? lib_.error_string(reader_.get()) : nullptr;
        throw DeltaError(say(msg_unreadable, {text != nullptr ? text : "out of memory"}));
    }
    [[noreturn]] static void cannot_write(const std::string& path, int error) {
        throw DeltaError(say(msg_cannot_write, {path, errno_text(error)}));
    }

    // A directory gets its own mode once everything in it is written: it may be read-only.
    void close_directory() {
        OpenDirectory& top = dirs_.back();
        if (::fchmod(top.fd.get(), top.mode) != 0) cannot_write(top.path, errno);
        dirs_.pop_back();
    }

    archive_entry* next_member() {
        archive_entry* entry = nullptr;
        const int status = lib_.read_next_header(reader_.get(), &entry);
        if (status == ARCHIVE_EOF) return nullptr;
        if (status != ARCHIVE_OK) unreadable();
        return entry;
    }

    // The data member that entry `index` needs, which must come next.
    archive_entry* expect_data(std::size_t index, const DeltaEntry& e) {
        archive_entry* entry = next_member();
        if (entry == nullptr || lib_.entry_filetype(entry) != AE_IFREG ||
            lib_.entry_pathname(entry) != "data/" + std::to_string(index))
            throw DeltaError(say(msg_missing_data, {e.path}));
        return entry;
    }

    void expect_end() {
        if (next_member() != nullptr) throw DeltaError(std::string(msg_extra_data));
    }

    template <class Sink>
    void read_member(archive_entry*, Sink&& sink) {
        read_member(std::forward<Sink>(sink));
    }
    template <class Sink>
    void read_member(Sink&& sink) {
        for (;;) {
            const void* block = nullptr;
            std::size_t size = 0;
            la_int64_t offset = 0;
            const int status = lib_.read_data_block(reader_.get(), &block, &size, &offset);
            if (status == ARCHIVE_EOF) return;
            if (status != ARCHIVE_OK) unreadable();
            sink(block, size);
        }
    }

    // An old file by its path below the old bundle's top, reached through descriptors, never
    // through a link; it must be a regular file of the size the delta was made with.
    FileDescriptor open_old(const DeltaEntry& e) const {
        FileDescriptor dir(::dup(old_fd_));
        std::size_t start = 0;
        for (std::size_t slash; (slash = e.source.find('/', start)) != std::string::npos; start = slash + 1) {
            const std::string part = e.source.substr(start, slash - start);
            FileDescriptor next(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.get() < 0) throw DeltaError(say(msg_old_missing, {e.source}));
            dir = std::move(next);
        }
        FileDescriptor file(
            ::openat(dir.get(), e.source.substr(start).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
            throw DeltaError(say(msg_old_missing, {e.source}));
        if (static_cast<std::uint64_t>(info.st_size) != e.source_size)
            throw DeltaError(say(msg_old_changed, {e.source}));
        return file;
    }

    void write_file(std::size_t index, const DeltaEntry& e, int out, const std::string& full, TreeDigest& digest) {
        std::uint64_t written = 0;
        const auto emit = [&](const void* bytes, std::size_t n) {
            if (written + n > e.size) throw DeltaError(say(msg_wrong_size, {e.path, "more", std::to_string(e.size)}));
            digest.add_file_bytes({static_cast<const std::uint8_t*>(bytes), n});
            const int error = write_all(out, {static_cast<const char*>(bytes), n});
            if (error != 0) cannot_write(full, error);
            written += n;
        };
        if (e.kind == DeltaKind::same || e.kind == DeltaKind::copy) {
            const FileDescriptor in = open_old(e);
            for (;;) {
                const ssize_t got = ::read(in.get(), buffer_.data(), buffer_.size());
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) throw DeltaError(say(msg_old_changed, {e.source}));
                if (got == 0) break;
                emit(buffer_.data(), static_cast<std::size_t>(got));
            }
        } else {
            archive_entry* member = expect_data(index, e);
            (void)member;
            const std::unique_ptr<ZSTD_DCtx, DctxFree> dctx(zstd_.create_dctx(), DctxFree{&zstd_});
            if (!dctx) throw DeltaError(say(msg_bad_patch, {e.path, "out of memory"}));
            const auto check = [&](std::size_t result) {
                if (zstd_.is_error(result)) throw DeltaError(say(msg_bad_patch, {e.path, zstd_.error_name(result)}));
                return result;
            };
            check(zstd_.dctx_set_parameter(dctx.get(), ZSTD_d_windowLogMax, delta_window_log));
            std::unique_ptr<Mapping> old;
            FileDescriptor old_fd;
            if (e.kind == DeltaKind::patch) {
                old_fd = open_old(e);
                old = std::make_unique<Mapping>(old_fd.get(), static_cast<std::size_t>(e.source_size));
                if (!old->ok()) throw DeltaError(say(msg_bad_patch, {e.path, errno_text(errno)}));
                check(zstd_.dctx_ref_prefix(dctx.get(), old->data(), old->size()));
            }
            std::size_t pending = 1;  // what the decoder still wants: 0 once a whole frame is out
            read_member([&](const void* block, std::size_t size) {
                ZSTD_inBuffer in{block, size, 0};
                while (in.pos < in.size) {
                    // One frame per member: a second one would decode without the old file.
                    if (pending == 0) throw DeltaError(say(msg_bad_patch, {e.path, "data after its end"}));
                    ZSTD_outBuffer chunk{buffer_.data(), buffer_.size(), 0};
                    pending = check(zstd_.decompress_stream(dctx.get(), &chunk, &in));
                    emit(buffer_.data(), chunk.pos);
                    // A full buffer may leave output inside the decoder with all input taken.
                    while (in.pos == in.size && chunk.pos == chunk.size && pending != 0) {
                        chunk = {buffer_.data(), buffer_.size(), 0};
                        pending = check(zstd_.decompress_stream(dctx.get(), &chunk, &in));
                        emit(buffer_.data(), chunk.pos);
                    }
                }
            });
            if (pending != 0) throw DeltaError(say(msg_bad_patch, {e.path, "it is cut short"}));
        }
        if (written != e.size)
            throw DeltaError(say(msg_wrong_size, {e.path, std::to_string(written), std::to_string(e.size)}));
    }

    const Zstd& zstd_;
    const Libarchive& lib_;
    std::unique_ptr<archive, ReaderFree> reader_;
    int old_fd_;
    DeltaLimits limits_;
    std::vector<OpenDirectory> dirs_;
    std::vector<char> buffer_ = std::vector<char>(1 << 17);
};

}  // namespace

DeltaManifest inspect_delta(int delta_fd, const DeltaLimits& limits) {
    DeltaApplier reader(delta_fd, -1, limits);
    DeltaManifest manifest = reader.read_manifest();
    reader.measure(manifest);
    return manifest;
}

DeltaManifest apply_delta(int delta_fd, int old_bundle_fd, std::string_view from_version, int into_fd,
                          std::string_view new_bundle_name, const DeltaLimits& limits,
                          const std::function<void(const DeltaManifest&)>& before_building) {
    DeltaApplier applier(delta_fd, old_bundle_fd, limits);
    DeltaManifest manifest = applier.read_manifest();
    if (manifest.bundle_name != new_bundle_name)
        throw DeltaError(say(msg_other_bundle, {manifest.bundle_name, new_bundle_name}));
    if (manifest.from_version != from_version)
        throw DeltaError(say(msg_other_version, {manifest.from_version, from_version}));
    if (before_building) before_building(manifest);
    applier.build(manifest, into_fd, new_bundle_name);
    return manifest;
}

}  // namespace kestrova::protocol
