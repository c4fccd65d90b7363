// A delta update: what turns one version's bundle into the next one's, for a client that has the
// first installed. It is a tar file (written and read with libarchive) whose first member,
// "manifest", lists every entry of the new tree in tree order, each saying where its bytes come
// from: the same path of the old tree, another path of it, a zstd patch against an old file, or a
// zstd-compressed copy of its own. Patches and copies follow as members "data/N" (N the manifest
// line that needs them), in the manifest's order, so that a reader applies the delta in one pass
// with bounded memory. The manifest also holds the new tree's digest (TreeDigest), and the whole
// file is signed like a full archive, so a client that built the tree knows it is the signed one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::protocol {

// Why a delta cannot be made, read or applied, in one sentence.
class DeltaError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where an entry of the new tree comes from.
enum class DeltaKind {
    directory,  // made empty
    link,       // a symbolic link to `target`
    same,       // a file with the bytes of the same path in the old tree
    copy,       // a file with the bytes of `source` in the old tree
    patch,      // a file: a zstd patch against `source` in the old tree
    added,      // a file: compressed whole
};

struct DeltaEntry {
    DeltaKind kind = DeltaKind::directory;
    std::string path;                 // below the bundle's top, "Contents/..."
    unsigned mode = 0;                // permission bits, at most 0777
    std::uint64_t size = 0;           // a file's size in the new tree
    std::string source;               // copy, patch: the old file's path
    std::uint64_t source_size = 0;    // same, copy, patch: the old file's size, which the reader checks
    std::string target;               // link
    std::uint64_t payload_bytes = 0;  // patch, added: the size of its data member (for inspection)
};

struct DeltaManifest {
    std::string bundle_name;  // "NAME.app", the same in both trees
    std::string from_version;
    std::string to_version;
    std::string tree_digest;  // TreeDigest of the new tree, lower-case hexadecimal
    unsigned top_mode = 0755;
    std::vector<DeltaEntry> entries;   // in tree order
    std::vector<std::string> removed;  // paths of the old tree the new one lacks
};

// What a reader accepts, so that a hostile delta can neither exhaust memory nor fill the disk.
struct DeltaLimits {
    std::uint64_t max_manifest_bytes = std::uint64_t{32} << 20;
    std::uint64_t max_file_bytes = std::uint64_t{4} << 30;
    std::uint64_t max_tree_bytes = std::uint64_t{16} << 30;
};

// The largest old or new file a patch is made for: the decoder holds the old file (mapped) and a
// window of the new one, so this bounds what applying a patch costs in memory. Larger files are
// sent compressed whole.
inline constexpr int delta_window_log = 25;
inline constexpr std::uint64_t max_patched_file_bytes = std::uint64_t{1} << delta_window_log;

// The manifest's text, and back. The reader refuses what a well-made delta never holds: an unknown
// line, a path that is absolute, holds "." or ".." or an empty part, is not below a directory
// listed before it, comes out of tree order or twice; a mode past 0777; a size past the limits;
// a digest that is not 64 hexadecimal digits.
std::string format_delta_manifest(const DeltaManifest& manifest);
DeltaManifest parse_delta_manifest(std::string_view text, const DeltaLimits& limits = {});

// The bytes the new tree's files take, as the manifest declares them: what applying will write.
std::uint64_t delta_written_bytes(const DeltaManifest& manifest);

// Makes the delta from the bundle `old_bundle` (version `from_version`) to `new_bundle`
// (`to_version`), two NAME.app directories of the same name, and writes it to `out`. The same
// trees give the same bytes. Throws DeltaError.
void make_delta(const std::filesystem::path& old_bundle, const std::filesystem::path& new_bundle,
                std::string_view from_version, std::string_view to_version, const std::filesystem::path& out);

// Reads the manifest of the delta open at `delta_fd` (from its start), with each data member's
// size filled in. Throws DeltaError.
DeltaManifest inspect_delta(int delta_fd, const DeltaLimits& limits = {});

// Builds the new tree from the delta open at `delta_fd` (read from its start) and the old bundle
// open at `old_bundle_fd`: it is made as `new_bundle_name` inside the directory `into_fd`, which
// must not hold it yet. Reads the old bundle through descriptors only, never through a link; a patch
// is applied as a stream, with zstd's window capped. Refuses a delta for another bundle name or
// another version than `from_version`, and returns only once the built tree has the manifest's
// digest. `before_building`, when given, sees the manifest before anything is written and may
// throw to stop there (a room check). Throws DeltaError; what it built is then left for the
// caller to remove.
DeltaManifest apply_delta(int delta_fd, int old_bundle_fd, std::string_view from_version, int into_fd,
                          std::string_view new_bundle_name, const DeltaLimits& limits = {},
                          const std::function<void(const DeltaManifest&)>& before_building = {});

}  // namespace kestrova::protocol
