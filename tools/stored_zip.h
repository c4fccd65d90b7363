// A ZIP archive rewritten with its entries stored rather than deflated. Deflated entries are
// compressed one by one, so a .deb's xz or a release's gzip cannot find what they share; stored,
// the outer compression sees it all. The JDK's ct.sym (the class signatures of every older
// release that javac --release reads) is 8.3 MB deflated, 4.7 MB after xz, and 15.3 MB stored but
// 1.1 MB after xz, 3.1 MB after gzip.
#pragma once

#include <filesystem>

namespace kestrova::pack {

// Rewrites `zip` in place with every entry stored: the same entries in the same order, with their
// names, times, attributes and contents. The new archive is written beside it and renamed over it
// only when complete, keeping the file's permission bits. Throws PackError.
void store_zip_entries(const std::filesystem::path& zip);

}  // namespace kestrova::pack
