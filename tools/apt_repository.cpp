#include "tools/apt_repository.h"

#include <system_error>

#include "tools/file_ops.h"
#include "tools/package_tree.h"
#include "tools/packaging.h"
#include "tools/subprocess.h"

namespace kestrova::pack {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view msg_no_key =
    "gpg has no secret key \"{}\" to sign the apt repository with; make one (gpg --quick-gen-key) or name another "
    "with --apt-key";
constexpr std::string_view msg_tool_failed = "{} failed: {}; check the repository \"{}\" and the free space there";

void write_text(const fs::path& path, std::string_view text) {
    write_file_atomically(path, std::span<const char>(text.data(), text.size()), 0644);
}

std::string run_or_refuse(const std::vector<std::string>& argv, std::string_view debian_package,
                          const fs::path& directory) {
    const ToolResult result = run_packaging_tool(argv, debian_package, directory);
    if (result.status != 0)
        throw PackError(fill(msg_tool_failed, {argv.front(), first_line(result.err), directory.string()}));
    return result.out;
}

}  // namespace

std::string apt_keyring_path(std::string_view package) {
    return "/usr/share/keyrings/" + std::string(package) + "-archive-keyring.gpg";
}

std::string apt_sources_line(std::string_view url, std::string_view package) {
    std::string base(url);
    if (!base.ends_with('/')) base += '/';
    return "deb [signed-by=" + apt_keyring_path(package) + "] " + base + " ./\n";
}

void check_signing_key(const std::string& key) {
    const ToolResult found = run_packaging_tool({"gpg", "--batch", "--list-secret-keys", key}, "gnupg");
    if (found.status != 0) throw PackError(fill(msg_no_key, {key}));
}

void add_to_apt_repository(const fs::path& deb, const AptRepositoryOptions& options) {
    const fs::path& repo = options.directory;
    std::error_code ec;
    fs::create_directories(repo, ec);
    const fs::path placed = repo / deb.filename();
    const fs::path incoming = repo / hidden_name(placed, ".part");
    fs::copy_file(deb, incoming, fs::copy_options::overwrite_existing, ec);
    if (ec) throw PackError(fill(msg_tool_failed, {"copying the package", ec.message(), repo.string()}));
    fs::rename(incoming, placed, ec);
    if (ec) throw PackError(fill(msg_tool_failed, {"copying the package", ec.message(), repo.string()}));

    // The indexes name files relative to the repository, as a flat repository's must.
    const std::string packages = run_or_refuse({"apt-ftparchive", "packages", "."}, "apt-utils", repo);
    write_text(repo / "Packages", packages);
    const std::string packages_gz = run_or_refuse({"gzip", "-9nc", "Packages"}, "gzip", repo);
    write_text(repo / "Packages.gz", packages_gz);
    const std::string origin = "-oAPT::FTPArchive::Release::Origin=" + options.package;
    const std::string label = "-oAPT::FTPArchive::Release::Label=" + options.package;
    const std::string release = run_or_refuse({"apt-ftparchive", origin, label, "release", "."}, "apt-utils", repo);
    write_text(repo / "Release", release);
    const std::string signer = "--local-user=" + options.key;
    // gpg runs in the repository: its names are relative to it.
    const std::string detached = hidden_name("Release.gpg", ".part");
    const std::string inline_signed = hidden_name("InRelease", ".part");
    run_or_refuse({"gpg", "--batch", "--yes", signer, "--armor", "--detach-sign", "--output", detached, "Release"},
                  "gnupg", repo);
    run_or_refuse({"gpg", "--batch", "--yes", signer, "--clearsign", "--output", inline_signed, "Release"}, "gnupg",
                  repo);
    fs::rename(repo / detached, repo / "Release.gpg", ec);
    if (!ec) fs::rename(repo / inline_signed, repo / "InRelease", ec);
    if (ec) throw PackError(fill(msg_tool_failed, {"signing", ec.message(), repo.string()}));

    const std::string key = run_or_refuse({"gpg", "--batch", "--export", options.key}, "gnupg", repo);
    write_text(repo / (options.package + "-archive-keyring.gpg"), key);
    write_text(repo / (options.package + ".list"), apt_sources_line(options.url, options.package));
}

}  // namespace kestrova::pack
