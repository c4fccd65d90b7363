// A Debian package of a bundle, built with Debian's own tools: the tree of package_tree.h, its
// shared-library dependencies from dpkg-shlibdeps, its control file, and dpkg-deb to archive it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/package_tree.h"

namespace kestrova::pack {

// The Debian version for a CFBundleVersion that dpkg orders as the updater does: numbers between
// dots, then optionally a pre-release tag of letters and digits ("2.0b1"), which sorts before the
// release it leads to and so becomes "2.0~b1". Throws PackError for any other version, saying how
// to write one.
std::string debian_version(std::string_view bundle_version);

struct DebControl {
    std::string package;
    std::string version;
    std::string architecture;
    std::string maintainer;
    std::uint64_t installed_size_kib = 0;
    std::vector<std::string> depends;
    std::optional<std::string> homepage;
    std::string summary;
    std::string name;  // the application's, for the long description
};

// The DEBIAN/control text.
std::string deb_control_text(const DebControl& control);

// The dependencies of a dpkg-shlibdeps -O output line ("shlibs:Depends=a (>= 1), b"), in order.
std::vector<std::string> shlibs_depends(std::string_view output);

// Makes OUT/PACKAGE_VERSION_ARCH.deb and returns its path. Throws PackError.
std::filesystem::path make_deb(const PackageRequest& request);

}  // namespace kestrova::pack
