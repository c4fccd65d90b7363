// A real release site for end-to-end tests of installing updates: a key pair made by the packaging
// tool, probe bundles that carry the key, and a site that `kestrova-pack release` wrote, served on
// 127.0.0.1 from its files (read at each request, so a later release shows at once). A route of
// the test's own may stand in for any of the site's files.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/bundle.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace kestrova::testing {

// A fingerprint of a directory tree: every entry's relative path, type, permission bits and
// content (a link's target, a file's bytes as a hash). Equal for trees that are byte for byte
// the same; any change to an entry changes it.
std::string tree_fingerprint(const std::filesystem::path& root);

// CFBundleVersion of the bundle `app` (NAME.app); empty when it cannot be read.
std::string bundle_version_of(const std::filesystem::path& app);

// Entries beside `app` that an install would leave: the staging directories' names.
std::vector<std::string> install_leftovers_beside(const std::filesystem::path& app);

class ReleaseSite {
public:
    // Makes the key pair and starts serving the (empty) site at /app/.
    ReleaseSite();

    HttpServer& server() { return server_; }
    const std::string& public_key() const { return public_key_; }
    std::string feed_url() const { return server_.url("/app/appcast.xml"); }
    const std::filesystem::path& site_dir() const { return site_; }
    const std::filesystem::path& key_file() const { return key_; }

    // Makes a probe bundle at `version` in `out_dir` that carries this site's key and feed, with
    // the updater; `extra` goes on to `kestrova-pack bundle`. Returns its executable.
    std::filesystem::path make_bundle(const std::filesystem::path& out_dir, const std::string& version,
                                      std::vector<std::string> extra = {}, std::vector<std::string> args = {}) const;

    // Releases the bundle of `executable` into the site (the bundle is given a runtime of its own
    // first: a release refuses a linked one); `extra` goes on to `kestrova-pack release`. Fails the
    // test by exception when the tool refuses.
    void release(const std::filesystem::path& executable, const std::vector<std::string>& extra = {});

    // The site file's URL path: "/app/" + name.
    static std::string path_of(const std::string& name) { return "/app/" + name; }
    // The bytes of a site file.
    std::string file(const std::string& name) const;

private:
    TempDir dir_;
    std::filesystem::path site_;
    std::filesystem::path key_;
    std::string public_key_;
    HttpServer server_;
};

// Replaces the bundle's linked runtime with a directory of its own whose entries link to the
// JDK's: a release must carry its runtime, and a copy of the whole JDK per test would cost
// hundreds of megabytes. The bundle runs as before.
void give_own_runtime(const std::filesystem::path& app);

}  // namespace kestrova::testing
