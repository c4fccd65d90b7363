#include "tools/delta_files.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "platform/property_list.h"
#include "protocol/delta.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;
using protocol::DeltaError;
using protocol::DeltaKind;

namespace {

constexpr std::string_view msg_cannot_unpack =
    "cannot unpack the release archive \"{}\" ({}); give an archive that release wrote";
constexpr std::string_view msg_not_one_bundle =
    "the release archive \"{}\" does not hold exactly one NAME.app directory at its top; give an archive that "
    "release wrote";
constexpr std::string_view msg_no_version =
    "the bundle in \"{}\" has no CFBundleVersion; a delta names the versions it is between";
constexpr std::string_view msg_scratch = "cannot make a working directory beside \"{}\" ({}); check its permissions";
constexpr std::string_view msg_cannot_open_delta = "cannot open the delta \"{}\" ({}); check the path";

struct ReaderFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterFree {
    void operator()(archive* a) const { archive_write_free(a); }
};

// Removes the tree at `path`, directories without write permission too. Never throws.
void remove_tree(const fs::path& path) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, ec);
    fs::remove_all(path, ec);
}

// A working directory beside `beside`, removed on every path out.
class Scratch {
public:
    explicit Scratch(const fs::path& beside) {
        // Absolute and without "..", so that libarchive's guard against ".." sees only the entries' own.
        const fs::path parent = fs::absolute(beside).lexically_normal().parent_path();
        std::string name = parent / ("." + beside.filename().string() + ".unpack-XXXXXX");
        if (::mkdtemp(name.data()) == nullptr)
            throw PackError(fill(msg_scratch, {beside.string(), std::generic_category().message(errno)}));
        path_ = name;
    }
    ~Scratch() { remove_tree(path_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Unpacks `archive_path` into `into` with libarchive's own guards (no absolute paths, no "..", no
// writing through links) and returns its one top directory.
fs::path unpack(const fs::path& archive_path, const fs::path& into) {
    const std::unique_ptr<archive, ReaderFree> reader(archive_read_new());
    const std::unique_ptr<archive, WriterFree> writer(archive_write_disk_new());
    const auto fail = [&](archive* a) {
        const char* why = a != nullptr ? archive_error_string(a) : nullptr;
        throw PackError(fill(msg_cannot_unpack, {archive_path.string(), why != nullptr ? why : "out of memory"}));
    };
    if (!reader || !writer) fail(nullptr);
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    if (archive_read_open_filename(reader.get(), archive_path.c_str(), 1 << 16) != ARCHIVE_OK) fail(reader.get());
    std::optional<std::string> top;
    bool one_top = true;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) fail(reader.get());
        std::string name = archive_entry_pathname(entry);
        if (name.starts_with("./")) name.erase(0, 2);
        // Each entry goes below `into`, by an absolute path that libarchive would refuse as such.
        if (name.starts_with("/"))
            throw PackError(fill(msg_cannot_unpack, {archive_path.string(), "an absolute path"}));
        const std::string first = name.substr(0, name.find('/'));
        if (!top) top = first;
        one_top = one_top && first == *top;
        const std::string target = (into / name).string();
        archive_entry_set_pathname(entry, target.c_str());
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) fail(writer.get());
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        int data = ARCHIVE_OK;
        while ((data = archive_read_data_block(reader.get(), &block, &size, &offset)) == ARCHIVE_OK)
            if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) fail(writer.get());
        if (data != ARCHIVE_EOF) fail(reader.get());
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) fail(writer.get());
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) fail(writer.get());
    std::error_code ec;
    if (!top || !one_top || !top->ends_with(".app") || !fs::is_directory(into / *top, ec))
        throw PackError(fill(msg_not_one_bundle, {archive_path.string()}));
    return into / *top;
}

std::string bundle_version(const fs::path& bundle, const fs::path& archive_path) {
    const auto info = platform::read_info_dictionary(kestrova::bundle_layout::info_plist_of(bundle).string());
    const auto it = info.find(info_keys::bundle_version);
    if (it == info.end() || it->second.empty()) throw PackError(fill(msg_no_version, {archive_path.string()}));
    return it->second;
}

}  // namespace

void make_delta_between_archives(const fs::path& old_archive, const fs::path& new_archive, const fs::path& out) {
    make_deltas_between_archives({{old_archive, out}}, new_archive);
}

void make_deltas_between_archives(const std::vector<std::pair<fs::path, fs::path>>& olds_and_outs,
                                  const fs::path& new_archive) {
    if (olds_and_outs.empty()) return;
    const Scratch scratch(olds_and_outs.front().second);
    std::error_code ec;
    fs::create_directory(scratch.path() / "new", ec);
    // Unpacked once for all the deltas; each old one only while its delta is made.
    const fs::path new_bundle = unpack(new_archive, scratch.path() / "new");
    const std::string new_version = bundle_version(new_bundle, new_archive);
    for (const auto& [old_archive, out] : olds_and_outs) {
        const fs::path old_dir = scratch.path() / "old";
        fs::create_directory(old_dir, ec);
        const fs::path old_bundle = unpack(old_archive, old_dir);
        try {
            protocol::make_delta(old_bundle, new_bundle, bundle_version(old_bundle, old_archive), new_version, out);
        } catch (const DeltaError& e) {
            throw PackError(e.what());
        }
        remove_tree(old_dir);
    }
}

std::string describe_delta(const fs::path& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw PackError(fill(msg_cannot_open_delta, {path.string(), std::generic_category().message(errno)}));
    protocol::DeltaManifest m;
    try {
        m = protocol::inspect_delta(fd.get());
    } catch (const DeltaError& e) {
        throw PackError(e.what());
    }
    struct Tally {
        std::size_t files = 0;
        std::uint64_t bytes = 0;  // the new tree's
        std::uint64_t sent = 0;   // the delta's data
    };
    Tally unchanged, moved, patched, added;
    std::size_t directories = 0, links = 0;
    for (const auto& e : m.entries) {
        Tally* t = e.kind == DeltaKind::same    ? &unchanged
                   : e.kind == DeltaKind::copy  ? &moved
                   : e.kind == DeltaKind::patch ? &patched
                   : e.kind == DeltaKind::added ? &added
                                                : nullptr;
        if (t == nullptr) {
            (e.kind == DeltaKind::directory ? directories : links) += 1;
            continue;
        }
        t->files += 1;
        t->bytes += e.size;
        t->sent += e.payload_bytes;
    }
    const auto line = [](std::string_view key, const Tally& t) {
        return std::string(key) + ": " + std::to_string(t.files) + " files, " + std::to_string(t.bytes) + " bytes, " +
               std::to_string(t.sent) + " bytes sent\n";
    };
    return "bundle: " + escape_for_line(m.bundle_name) + "\nfrom: " + escape_for_line(m.from_version) +
           "\nto: " + escape_for_line(m.to_version) + "\ndigest: " + m.tree_digest +
           "\ndirectories: " + std::to_string(directories) + "\nlinks: " + std::to_string(links) + "\n" +
           line("unchanged", unchanged) + line("moved", moved) + line("patched", patched) + line("new", added) +
           "removed: " + std::to_string(m.removed.size()) + " paths\n";
}

}  // namespace kestrova::pack
