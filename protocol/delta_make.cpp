// Making a delta: which old bytes each new file can be built from, the patches and compressed
// files, and the tar that carries them after the manifest.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "kestrova/file_descriptor.h"
#include "kestrova/text.h"
#include "protocol/delta.h"
#include "protocol/delta_libraries.h"
#include "protocol/ed25519.h"
#include "protocol/tree_digest.h"

namespace kestrova::protocol {

namespace fs = std::filesystem;

namespace {

using delta_libraries::Libarchive;
using delta_libraries::Zstd;

constexpr std::string_view msg_names_differ =
    "the two bundles are named {} and {}; a delta is made between two versions of one bundle";
constexpr std::string_view msg_cannot_read = "cannot read \"{}\" for the delta ({}); check its permissions";
constexpr std::string_view msg_special = "\"{}\" is neither a file, a directory nor a link; remove it from the bundle";
constexpr std::string_view msg_cannot_write =
    "cannot write the delta \"{}\" ({}); check the free space and permissions";
constexpr std::string_view msg_cannot_compress = "zstd could not compress \"{}\" ({})";

// Patches search hard: they are made once per release and downloaded by every user. Whole files
// are compressed at a level that keeps a release of a large runtime quick.
constexpr int patch_level = 19;
constexpr int added_level = 15;
constexpr int added_window_log = 23;

std::string errno_text(int error) { return std::generic_category().message(error); }

[[noreturn]] void cannot_read(const fs::path& path, int error) {
    throw DeltaError(fill_placeholders(msg_cannot_read, "{}", {path.string(), errno_text(error)}));
}

struct Node {
    std::string path;  // below the top
    fs::path file;
    struct stat info {};
    std::string target;  // a link's
};

// The tree below `top` in tree order: depth first, each directory's names in byte order.
void walk(const fs::path& top, const std::string& relative, std::vector<Node>& nodes) {
    const fs::path dir = relative.empty() ? top : top / relative;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) names.push_back(entry.path().filename().string());
    if (ec) cannot_read(dir, ec.value());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        Node node;
        node.path = relative.empty() ? name : (relative + '/').append(name);
        node.file = top / node.path;
        if (::lstat(node.file.c_str(), &node.info) != 0) cannot_read(node.file, errno);
        if (S_ISLNK(node.info.st_mode)) {
            node.target = fs::read_symlink(node.file, ec).string();
            if (ec) cannot_read(node.file, ec.value());
        } else if (!S_ISDIR(node.info.st_mode) && !S_ISREG(node.info.st_mode)) {
            throw DeltaError(fill_placeholders(msg_special, "{}", {node.file.string()}));
        }
        const bool is_dir = S_ISDIR(node.info.st_mode);
        const std::string path = node.path;
        nodes.push_back(std::move(node));
        if (is_dir) walk(top, path, nodes);
    }
}

// Reads a whole file piece by piece into `sink`.
template <class Sink>
void read_file(const fs::path& path, Sink&& sink) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) cannot_read(path, errno);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) cannot_read(path, errno);
        if (got == 0) return;
        sink(buffer.data(), static_cast<std::size_t>(got));
    }
}

std::string content_hash(const fs::path& path) {
    ed25519::Sha256 hash;
    read_file(path, [&](const char* bytes, std::size_t n) { hash.update(std::string_view(bytes, n)); });
    return hash.hex();
}

// A versioned file's name without its version ("lib-2.3.jar" -> "lib-.jar"), by which a file
// replaced by its next version finds the old one to be patched against.
std::string family(const std::string& path) {
    std::string out;
    const std::size_t base = path.rfind('/') + 1;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool versionish = i >= base && (std::isdigit(static_cast<unsigned char>(path[i])) != 0 ||
                                              (path[i] == '.' && i + 1 < path.size() &&
                                               std::isdigit(static_cast<unsigned char>(path[i + 1])) != 0));
        if (!versionish) out += path[i];
    }
    return out;
}

int window_log_for(std::uint64_t size) {
    int log = 10;
    while (log < delta_window_log && (std::uint64_t{1} << log) < size) ++log;
    return log;
}

struct CctxFree {
    const Zstd* lib;
    void operator()(ZSTD_CCtx* c) const { lib->free_cctx(c); }
};

// Compresses `file` into `out`, as a patch against `old` (mapped) when there is one.
void compress(const Zstd& zstd, const fs::path& file, std::uint64_t size, const void* old, std::size_t old_size,
              const fs::path& out) {
    const std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(zstd.create_cctx(), CctxFree{&zstd});
    const auto check = [&](std::size_t result) {
        if (!cctx || zstd.is_error(result))
            throw DeltaError(fill_placeholders(msg_cannot_compress, "{}",
                                               {file.string(), cctx ? zstd.error_name(result) : "out of memory"}));
        return result;
    };
    check(0);
    const bool patch = old != nullptr;
    check(zstd.cctx_set_parameter(cctx.get(), ZSTD_c_compressionLevel, patch ? patch_level : added_level));
    check(zstd.cctx_set_parameter(cctx.get(), ZSTD_c_windowLog,
                                  patch ? window_log_for(std::max<std::uint64_t>(size, old_size))
                                        : std::min(added_window_log, window_log_for(size))));
    check(zstd.cctx_set_parameter(cctx.get(), ZSTD_c_checksumFlag, 1));
    check(zstd.cctx_set_pledged_src_size(cctx.get(), size));
    if (patch) check(zstd.cctx_ref_prefix(cctx.get(), old, old_size));

    const FileDescriptor fd(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.get() < 0) throw DeltaError(fill_placeholders(msg_cannot_write, "{}", {out.string(), errno_text(errno)}));
    std::vector<char> chunk(1 << 17);
    const auto drain = [&](ZSTD_inBuffer& in, ZSTD_EndDirective mode) {
        for (;;) {
            ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
            const std::size_t left = check(zstd.compress_stream2(cctx.get(), &o, &in, mode));
            const int error = write_all(fd.get(), {chunk.data(), o.pos});
            if (error != 0)
                throw DeltaError(fill_placeholders(msg_cannot_write, "{}", {out.string(), errno_text(error)}));
            if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) return;
        }
    };
    read_file(file, [&](const char* bytes, std::size_t n) {
        ZSTD_inBuffer in{bytes, n, 0};
        drain(in, ZSTD_e_continue);
    });
    ZSTD_inBuffer none{nullptr, 0, 0};
    drain(none, ZSTD_e_end);
}

struct WriterFree {
    const Libarchive* lib;
    void operator()(archive* a) const { lib->write_free(a); }
};
struct EntryFree {
    const Libarchive* lib;
    void operator()(archive_entry* e) const { lib->entry_free(e); }
};

// The delta's tar: plain ustar members owned by nobody, of time 0 and mode 0644, so that the same
// manifest and data give the same bytes.
class DeltaTar {
public:
    DeltaTar(const Libarchive& lib, const fs::path& out)
        : lib_(lib), out_(out), writer_(lib.write_new(), WriterFree{&lib}) {
        if (!writer_ || lib_.write_set_format_ustar(writer_.get()) != ARCHIVE_OK ||
            lib_.write_set_bytes_in_last_block(writer_.get(), 1) != ARCHIVE_OK ||
            lib_.write_open_filename(writer_.get(), out.c_str()) != ARCHIVE_OK)
            fail();
    }

    void add(const std::string& name, std::uint64_t size,
             const std::function<void(const std::function<void(const char*, std::size_t)>&)>& body) {
        const std::unique_ptr<archive_entry, EntryFree> entry(lib_.entry_new(), EntryFree{&lib_});
        if (!entry) fail();
        lib_.entry_set_pathname(entry.get(), name.c_str());
        lib_.entry_set_filetype(entry.get(), AE_IFREG);
        lib_.entry_set_perm(entry.get(), 0644);
        lib_.entry_set_size(entry.get(), static_cast<la_int64_t>(size));
        if (lib_.write_header(writer_.get(), entry.get()) != ARCHIVE_OK) fail();
        body([&](const char* bytes, std::size_t n) {
            if (lib_.write_data(writer_.get(), bytes, n) != static_cast<la_ssize_t>(n)) fail();
        });
    }

    void close() {
        if (lib_.write_close(writer_.get()) != ARCHIVE_OK) fail();
    }

private:
    [[noreturn]] void fail() const {
        const char* text = writer_ ? lib_.error_string(writer_.get()) : nullptr;
        throw DeltaError(
            fill_placeholders(msg_cannot_write, "{}", {out_.string(), text != nullptr ? text : "out of memory"}));
    }

    const Libarchive& lib_;
    fs::path out_;
    std::unique_ptr<archive, WriterFree> writer_;
};

// A directory of scratch files beside the output, removed on every path out.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const fs::path& beside) {
        std::string name = (beside.parent_path().empty() ? fs::path(".") : beside.parent_path()) /
                           ("." + beside.filename().string() + ".XXXXXX");
        if (::mkdtemp(name.data()) == nullptr)
            throw DeltaError(fill_placeholders(msg_cannot_write, "{}", {beside.string(), errno_text(errno)}));
        path_ = name;
    }
    ~ScratchDirectory() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

void make_delta(const fs::path& old_bundle, const fs::path& new_bundle, std::string_view from_version,
                std::string_view to_version, const fs::path& out) {
    const std::string name = new_bundle.filename().string();
    if (old_bundle.filename() != new_bundle.filename())
        throw DeltaError(fill_placeholders(msg_names_differ, "{}", {old_bundle.filename().string(), name}));
    const Zstd& zstd = delta_libraries::zstd();
    const Libarchive& lib = delta_libraries::libarchive();

    std::vector<Node> old_nodes, new_nodes;
    walk(old_bundle, "", old_nodes);
    walk(new_bundle, "", new_nodes);
    struct stat top {};
    if (::stat(new_bundle.c_str(), &top) != 0) cannot_read(new_bundle, errno);

    std::map<std::string, const Node*> old_by_path;
    std::map<std::string, std::string> old_by_hash;  // content hash -> the first old path with it
    std::map<std::string, std::string> old_hash_of;
    for (const Node& n : old_nodes) {
        old_by_path[n.path] = &n;
        if (!S_ISREG(n.info.st_mode)) continue;
        const std::string hash = content_hash(n.file);
        old_by_hash.emplace(hash, n.path);
        old_hash_of[n.path] = hash;
    }
    std::map<std::string, bool> in_new;
    for (const Node& n : new_nodes) in_new[n.path] = true;
    // Old files the new tree lacks, by family: what a file replaced by its next version patches against.
    std::map<std::string, const Node*> gone_by_family;
    DeltaManifest m;
    for (const Node& n : old_nodes) {
        if (in_new.count(n.path) != 0) continue;
        m.removed.push_back(n.path);
        if (S_ISREG(n.info.st_mode)) gone_by_family.emplace(family(n.path), &n);
    }

    ScratchDirectory scratch(out);
    m.bundle_name = name;
    m.from_version = std::string(from_version);
    m.to_version = std::string(to_version);
    m.top_mode = top.st_mode & 0777;
    TreeDigest digest(name, m.top_mode);
    for (const Node& n : new_nodes) {
        DeltaEntry e;
        e.path = n.path;
        e.mode = n.info.st_mode & 0777;
        const std::string full = name + "/" + n.path;
        if (S_ISDIR(n.info.st_mode)) {
            e.kind = DeltaKind::directory;
            digest.add_directory(full, e.mode);
        } else if (S_ISLNK(n.info.st_mode)) {
            e.kind = DeltaKind::link;
            e.target = n.target;
            e.mode = n.info.st_mode & 07777;
            digest.add_link(full, e.mode, e.target);
        } else {
            e.size = static_cast<std::uint64_t>(n.info.st_size);
            digest.add_file(full, e.mode, e.size);
            ed25519::Sha256 hash;
            read_file(n.file, [&](const char* bytes, std::size_t size) {
                digest.add_file_bytes({reinterpret_cast<const std::uint8_t*>(bytes), size});
                hash.update(std::string_view(bytes, size));
            });
            const std::string content = hash.hex();
            const auto same_path = old_hash_of.find(n.path);
            const auto elsewhere = old_by_hash.find(content);
            const Node* base = nullptr;
            if (const auto it = old_by_path.find(n.path); it != old_by_path.end() && S_ISREG(it->second->info.st_mode))
                base = it->second;
            else if (const auto g = gone_by_family.find(family(n.path)); g != gone_by_family.end())
                base = g->second;
            if (same_path != old_hash_of.end() && same_path->second == content) {
                e.kind = DeltaKind::same;
                e.source = n.path;
                e.source_size = e.size;
            } else if (elsewhere != old_by_hash.end()) {
                e.kind = DeltaKind::copy;
                e.source = elsewhere->second;
                e.source_size = e.size;
            } else if (base != nullptr && e.size <= max_patched_file_bytes &&
                       static_cast<std::uint64_t>(base->info.st_size) <= max_patched_file_bytes) {
                e.kind = DeltaKind::patch;
                e.source = base->path;
                e.source_size = static_cast<std::uint64_t>(base->info.st_size);
                const FileDescriptor fd(::open(base->file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
                if (fd.get() < 0) cannot_read(base->file, errno);
                void* map = nullptr;
                if (e.source_size > 0) {
                    map = ::mmap(nullptr, e.source_size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
                    if (map == MAP_FAILED) cannot_read(base->file, errno);
                }
                try {
                    // An empty old file is no prefix at all; zstd takes it as none.
                    static const char nothing = 0;
                    compress(zstd, n.file, e.size, map != nullptr ? map : &nothing, e.source_size,
                             scratch.path() / std::to_string(m.entries.size()));
                } catch (...) {
                    if (map != nullptr) ::munmap(map, e.source_size);
                    throw;
                }
                if (map != nullptr) ::munmap(map, e.source_size);
            } else {
                e.kind = DeltaKind::added;
                compress(zstd, n.file, e.size, nullptr, 0, scratch.path() / std::to_string(m.entries.size()));
            }
        }
        m.entries.push_back(std::move(e));
    }
    m.tree_digest = digest.hex();

    const std::string text = format_delta_manifest(m);
    const fs::path partial = scratch.path() / "delta";
    DeltaTar tar(lib, partial);
    tar.add("manifest", text.size(), [&](const auto& write) { write(text.data(), text.size()); });
    for (std::size_t i = 0; i < m.entries.size(); ++i) {
        if (m.entries[i].kind != DeltaKind::patch && m.entries[i].kind != DeltaKind::added) continue;
        const fs::path data = scratch.path() / std::to_string(i);
        std::error_code ec;
        const std::uint64_t size = fs::file_size(data, ec);
        if (ec) cannot_read(data, ec.value());
        tar.add("data/" + std::to_string(i), size, [&](const auto& write) { read_file(data, write); });
    }
    tar.close();
    std::error_code ec;
    fs::rename(partial, out, ec);
    if (ec) throw DeltaError(fill_placeholders(msg_cannot_write, "{}", {out.string(), ec.message()}));
}

}  // namespace kestrova::protocol
