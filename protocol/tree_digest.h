// The digest of a bundle's tree, by which a staged bundle is known to be the one that was checked:
// SHA-256 over, in depth-first order with each directory's names in byte order, every entry's path
// (from the bundle's own name down), type and permission bits, and a link's target or a file's size
// and bytes. The staging area computes it from disk; a delta carries it for the tree it builds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/ed25519.h"

namespace kestrova::protocol {

class TreeDigest {
public:
    // `bundle_name` is the top directory ("NAME.app") and `mode` its permission bits.
    TreeDigest(std::string_view bundle_name, unsigned mode);

    // Each entry below the top, by its path from the top ("NAME.app/Contents/..."), in tree order.
    void add_directory(std::string_view path, unsigned mode) { describe(path, 'd', mode, 0); }
    void add_link(std::string_view path, unsigned mode, std::string_view target);
    // A file: its description, then all its bytes through add_file_bytes.
    void add_file(std::string_view path, unsigned mode, std::uint64_t size) { describe(path, 'f', mode, size); }
    void add_file_bytes(std::span<const std::uint8_t> bytes) { digest_.update(bytes); }
    // What is neither: hashed so that one put there changes the digest.
    void add_other(std::string_view path, unsigned mode) { describe(path, '?', mode, 0); }

    // The digest in lower-case hexadecimal; nothing may be added after it.
    std::string hex() { return digest_.hex(); }

private:
    void describe(std::string_view path, char type, unsigned mode, std::uint64_t size);

    ed25519::Sha256 digest_;
};

}  // namespace kestrova::protocol
