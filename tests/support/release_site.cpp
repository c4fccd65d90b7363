#include "tests/support/release_site.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "kestrova/bundle_layout.h"
#include "kestrova/info_plist_keys.h"
#include "tests/support/process_runner.h"

namespace kestrova::testing {

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string tree_fingerprint(const fs::path& root) {
    std::vector<std::string> lines;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path& path = it->path();
        // What a start adds to the bundle it runs from, not the bundle's contents.
        if (path == root / kestrova::bundle_layout::installation_lock) continue;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        std::string line = fs::relative(path, root).string() + " " + std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            line += " -> " + fs::read_symlink(path).string();
        } else if (S_ISREG(st.st_mode)) {
            line += " " + std::to_string(std::hash<std::string>{}(read_file(path)));
        }
        lines.push_back(std::move(line));
    }
    if (ec) return "unreadable: " + ec.message();
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const auto& line : lines) all += line + "\n";
    return all;
}

std::string bundle_version_of(const fs::path& app) {
    std::string plist;
    try {
        plist = read_file(app / "Contents" / "Info.plist");
    } catch (const std::exception&) {
        return {};
    }
    // The tool writes XML: <key>CFBundleVersion</key> then <string>V</string>.
    const auto key = plist.find(std::string("<key>") + kestrova::info_keys::bundle_version + "</key>");
    const auto open = key == std::string::npos ? key : plist.find("<string>", key);
    const auto close = open == std::string::npos ? open : plist.find("</string>", open);
    if (close == std::string::npos) return {};
    return plist.substr(open + 8, close - open - 8);
}

std::vector<std::string> install_leftovers_beside(const fs::path& app) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(app.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find("kestrova-update") != std::string::npos) names.push_back(name);
    }
    return names;
}

void give_own_runtime(const fs::path& app) {
    const fs::path home = app / "Contents" / "runtime" / "Contents" / "Home";
    const fs::path jdk = fs::canonical(home);
    fs::remove(home);
    fs::create_directory(home);
    for (const auto& entry : fs::directory_iterator(jdk))
        fs::create_symlink(entry.path(), home / entry.path().filename());
}

ReleaseSite::ReleaseSite() : site_(dir_.path() / "site"), key_(dir_.path() / "release-key.pem") {
    const auto keys = run_process({Artefacts::pack_tool().string(), "generate-keys", "--key-file", key_.string()});
    if (keys.exit_status != 0) throw std::runtime_error("generate-keys failed: " + keys.err);
    public_key_ = keys.out.substr(0, keys.out.find_last_not_of("\r\n") + 1);
    for (const char* name : {"appcast.xml", "metadata.properties"}) {
        server_.route(path_of(name), [this, name](const HttpRequest&) {
            try {
                return HttpResponse::text(200, file(name));
            } catch (const std::exception&) {
                return HttpResponse::text(404, "not released yet");
            }
        });
    }
}

std::string ReleaseSite::file(const std::string& name) const { return read_file(site_ / name); }

fs::path ReleaseSite::make_bundle(const fs::path& out_dir, const std::string& version, std::vector<std::string> extra,
                                  std::vector<std::string> args) const {
    BundleRecipe recipe;
    recipe.args = std::move(args);
    recipe.extra = {"--with-updater", "--bundle-version", version,    "--feed-url",
                    feed_url(),       "--public-ed-key",  public_key_};
    recipe.extra.insert(recipe.extra.end(), extra.begin(), extra.end());
    return testing::make_bundle(out_dir, recipe);
}

void ReleaseSite::release(const fs::path& executable, const std::vector<std::string>& extra) {
    const fs::path app = executable.parent_path().parent_path().parent_path();
    give_own_runtime(app);
    std::vector<std::string> args = {Artefacts::pack_tool().string(),
                                     "release",
                                     app.string(),
                                     "--key-file",
                                     key_.string(),
                                     "--site",
                                     site_.string(),
                                     "--download-url-prefix",
                                     server_.url("/app")};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = run_process(args);
    if (r.exit_status != 0) throw std::runtime_error("kestrova-pack release failed: " + r.err);
    // The archives and deltas are served from their files too, under their own names.
    for (const auto& entry : fs::directory_iterator(site_)) {
        const std::string name = entry.path().filename().string();
        const bool delta = name.ends_with(".delta");
        if (name.ends_with(".tar.gz") || delta) {
            // A route the test sets later replaces this one.
            server_.route(path_of(name), [this, name, delta](const HttpRequest&) {
                return HttpResponse::text(200, file(name), delta ? "application/octet-stream" : "application/gzip");
            });
        }
    }
}

}  // namespace kestrova::testing
