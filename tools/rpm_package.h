// An RPM package of a bundle, built with rpmbuild (Debian's rpm package): the tree of
// package_tree.h, an rpmbuild recipe (%files) that lists it, and rpm's own dependency generator over its ELF files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tools/package_tree.h"

namespace kestrova::pack {

struct RpmRecipe {
    std::string name;
    std::string version;  // as debian_version makes it: '~' sorts first in rpm too
    std::string summary;
    std::string packager;
    std::string url;                     // empty: none
    std::vector<std::string> requires_;  // besides what rpm finds in the ELF files
    std::vector<std::string> excluded;   // sonames rpm must not require (a linked JDK's)
    std::string private_tree;            // the bundle's directory: provides nothing to the system
    std::filesystem::path staged;        // the tree %install copies
    std::vector<std::string> files;      // %files entries, absolute
};

// The text of the rpmbuild recipe that rpm_package writes.
std::string rpm_recipe_text(const RpmRecipe& recipe);

// Makes OUT/NAME-VERSION-1.ARCH.rpm and returns its path. Throws PackError.
std::filesystem::path make_rpm(const PackageRequest& request);

}  // namespace kestrova::pack
