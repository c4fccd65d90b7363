// An apt repository in a release site: a flat repository (every version's .deb in one directory,
// its Packages index and a Release file signed with GnuPG), made with Debian's apt-ftparchive and
// gpg, and the two files a user installs once to use it: a sources list and the signing key.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrova::pack {

struct AptRepositoryOptions {
    std::filesystem::path directory;  // the repository, e.g. SITE/apt
    std::string url;                  // where `directory` is served
    std::string key;                  // the GnuPG key that signs it: an id, fingerprint or e-mail
    std::string package;              // names the sources list and the keyring file
};

// Where a user keeps the repository's key, as the sources list names it.
std::string apt_keyring_path(std::string_view package);

// The one line of PACKAGE.list: the flat repository at `url`, trusted only with its own key.
std::string apt_sources_line(std::string_view url, std::string_view package);

// Throws PackError unless gpg holds a secret key `key` that can sign.
void check_signing_key(const std::string& key);

// Copies `deb` into the repository (a package of the same name replaced; older versions stay) and
// writes its Packages, Packages.gz, Release, Release.gpg and InRelease, the sources list and the
// exported key. Throws PackError.
void add_to_apt_repository(const std::filesystem::path& deb, const AptRepositoryOptions& options);

}  // namespace kestrova::pack
