#include "tools/tar_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_special_file =
    "\"{}\" in the bundle is neither a file, a directory nor a link; remove it before releasing";
constexpr std::string_view msg_cannot_read = "cannot read \"{}\" for the archive: {}; check its permissions";
constexpr std::string_view msg_cannot_write_archive =
    "cannot write the archive \"{}\": {}; check the free space and permissions in --site";

struct ArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};

struct Item {
    std::string name;  // the path in the archive, "NAME.app/..."
    fs::path source;
};

// Depth first, each directory's entries in byte order of their names: the same tree always gives
// the same sequence, whatever order the file system lists it in.
// The installation's lock at the top of the bundle belongs to the copy that made it (a start of the
// publisher's own bundle), not to the application: it is never archived.
void collect(const fs::path& dir, const std::string& name, std::vector<Item>& items, bool top = false) {
    items.push_back({name, dir});
    std::vector<fs::path> children;
    for (const auto& entry : fs::directory_iterator(dir))
        if (!top || entry.path().filename() != kestrova::bundle_layout::installation_lock)
            children.push_back(entry.path());
    std::sort(children.begin(), children.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    for (const auto& child : children) {
        const std::string child_name = name + "/" + child.filename().string();
        if (fs::symlink_status(child).type() == fs::file_type::directory)
            collect(child, child_name, items);
        else
            items.push_back({child_name, child});
    }
}

}  // namespace

void write_bundle_archive(const fs::path& bundle, const fs::path& out, std::optional<std::int64_t> mtime) {
    std::vector<Item> items;
    try {
        collect(bundle, bundle.filename().string(), items, true);
    } catch (const fs::filesystem_error& e) {
        throw PackError(fill(msg_cannot_read, {e.path1().string(), e.code().message()}));
    }

    const std::unique_ptr<archive, ArchiveFree> writer(archive_write_new());
    auto fail = [&]() -> void {
        const char* reason = writer ? archive_error_string(writer.get()) : nullptr;
        throw PackError(fill(msg_cannot_write_archive, {out.string(), reason != nullptr ? reason : "out of memory"}));
    };
    if (!writer) fail();
    // Restricted pax: plain ustar headers, with an extended header only for what ustar cannot hold
    // (long names, large files), so no access or change times slip in.
    if (archive_write_set_format_pax_restricted(writer.get()) != ARCHIVE_OK ||
        archive_write_add_filter_gzip(writer.get()) != ARCHIVE_OK ||
        // No time in the gzip header; libarchive writes no file name there either.
        archive_write_set_filter_option(writer.get(), "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
        archive_write_open_filename(writer.get(), out.c_str()) != ARCHIVE_OK)
        fail();

    const std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    std::vector<char> buffer(1 << 16);
    for (const Item& item : items) {
        struct stat info {};
        if (::lstat(item.source.c_str(), &info) != 0)
            throw PackError(fill(msg_cannot_read, {item.source.string(), std::generic_category().message(errno)}));
        archive_entry_clear(entry.get());
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_perm(entry.get(), info.st_mode & 07777);
        archive_entry_set_uid(entry.get(), 0);
        archive_entry_set_gid(entry.get(), 0);
        archive_entry_set_mtime(entry.get(), mtime ? static_cast<time_t>(*mtime) : info.st_mtime, 0);
        std::string link_target;
        if (S_ISDIR(info.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
        } else if (S_ISREG(info.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), info.st_size);
        } else if (S_ISLNK(info.st_mode)) {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            std::error_code ec;
            link_target = fs::read_symlink(item.source, ec).string();
            if (ec) throw PackError(fill(msg_cannot_read, {item.source.string(), ec.message()}));
            archive_entry_set_symlink(entry.get(), link_target.c_str());
        } else {
            throw PackError(fill(msg_special_file, {item.source.string()}));
        }
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) fail();
        if (!S_ISREG(info.st_mode)) continue;

        const FileDescriptor fd(::open(item.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!fd.valid())
            throw PackError(fill(msg_cannot_read, {item.source.string(), std::generic_category().message(errno)}));
        std::int64_t left = info.st_size;
        while (left > 0) {
            const ssize_t got = ::read(fd.get(), buffer.data(), std::min<std::size_t>(buffer.size(), left));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // A file that shrank while it was read would leave a header that promises more.
                const int error = got < 0 ? errno : EIO;
                throw PackError(fill(msg_cannot_read, {item.source.string(), std::generic_category().message(error)}));
            }
            if (archive_write_data(writer.get(), buffer.data(), static_cast<std::size_t>(got)) != got) fail();
            left -= got;
        }
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) fail();
}

}  // namespace kestrova::pack
