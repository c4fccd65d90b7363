// A fresh directory under the system's temporary directory, removed with everything in it at the end
// of its scope. It lives in a library of its own that needs nothing else, so that any test can have
// one without building the programs and bundles the rest of the support needs.
#pragma once

#include <filesystem>

namespace kestrova::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace kestrova::testing
