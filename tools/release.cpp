#include "tools/release.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "kestrova/bundle_layout.h"
#include "kestrova/file_descriptor.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/utf8.h"
#include "platform/property_list.h"
#include "protocol/appcast.h"
#include "protocol/ed25519.h"
#include "protocol/feed_limits.h"
#include "protocol/metadata.h"
#include "protocol/version_comparator.h"
#include "tools/delta_files.h"
#include "tools/ed25519_keys.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"
#include "tools/release_deltas.h"
#include "tools/release_signing.h"
#include "tools/tar_archive.h"

namespace kestrova::pack {

namespace fs = std::filesystem;
namespace ed = sparkle::ed25519;

namespace {

constexpr std::string_view msg_not_a_bundle =
    "\"{}\" is not an application bundle (a NAME.app directory with Contents/Info.plist); name one";
constexpr std::string_view msg_no_version =
    "the bundle has no CFBundleVersion; rebuild it with kestrova-pack bundle --bundle-version";
constexpr std::string_view msg_bad_version_name =
    "CFBundleVersion \"{}\" cannot be part of a file name (it holds '/' or starts with '.'); use a plain version";
constexpr std::string_view msg_runtime_link =
    "the bundle's runtime \"{}\" is a link, not a copy: a release must carry its runtime; rebuild the "
    "bundle with --copy-runtime";
constexpr std::string_view msg_no_runtime =
    "the bundle has no runtime at \"{}\"; rebuild it with kestrova-pack bundle --copy-runtime";
constexpr std::string_view msg_no_public_key =
    "the bundle has no SUPublicEDKey, so it could never install an update; rebuild it with "
    "--public-ed-key (the key generate-keys printed)";
constexpr std::string_view msg_bad_public_key =
    "the bundle's SUPublicEDKey is not base64 of 32 bytes; rebuild it with --public-ed-key (the key "
    "generate-keys printed)";
constexpr std::string_view msg_wrong_key =
    "the bundle's SUPublicEDKey is not the public half of \"{}\", so the bundle could never verify this "
    "release; use the key file that goes with it, or rebuild the bundle with its public key (to change keys, "
    "see --next-key-file)";
constexpr std::string_view msg_same_next_key =
    "--next-key-file \"{}\" is the same key as --key-file; generate a new key with generate-keys";
constexpr std::string_view msg_old_key_in_bundle =
    "the bundle's SUPublicEDKey is still --key-file's public key, so the key would not change; rebuild the "
    "bundle with --public-ed-key of \"{}\" (generate-keys printed it)";
constexpr std::string_view msg_not_next_key =
    "the bundle's SUPublicEDKey is the public half of neither --key-file nor --next-key-file \"{}\"; rebuild "
    "the bundle with the next key's public half";
constexpr std::string_view msg_feed_too_large =
    "the appcast would grow to {} bytes, more than the {} the updater reads, and no installed copy could read it; "
    "remove old items from \"{}\"";
constexpr std::string_view msg_bad_appcast = "the site's appcast.xml cannot be read ({}); repair or remove it";
constexpr std::string_view msg_not_newer =
    "version {} is not newer than {}, the newest in the site's appcast.xml; raise --bundle-version";
constexpr std::string_view msg_bad_metadata_version =
    "CFBundleVersion \"{}\" cannot be written to metadata.properties (it holds '=' or a line end, or "
    "white space at its ends); use a plain version";
constexpr std::string_view msg_bad_release_notes =
    "--release-notes \"{}\" {}; give a UTF-8 text file of at most 64 KiB";
constexpr std::string_view msg_site_not_dir = "--site \"{}\" exists and is not a directory; name a directory";
constexpr std::string_view msg_cannot_write_site =
    "cannot write the release into \"{}\": {}; check the free space and permissions there";
constexpr std::string_view msg_empty_prefix = "--download-url-prefix needs the address the site is served at";

// --- A small XML tree, enough to carry an appcast through unchanged ------------------------------

constexpr char namespace_separator = '\x1F';

struct Name {
    std::string uri;  // empty: no namespace
    std::string local;
};

struct Element;
using Node = std::variant<std::string, std::unique_ptr<Element>>;  // text or element

struct Element {
    Name name;
    std::vector<std::pair<Name, std::string>> attributes;
    std::vector<Node> children;
};

Name split_name(const XML_Char* text) {
    const std::string_view full(text);
    const auto at = full.find(namespace_separator);
    if (at == std::string_view::npos) return {{}, std::string(full)};
    return {std::string(full.substr(0, at)), std::string(full.substr(at + 1))};
}

struct TreeBuilder {
    std::unique_ptr<Element> root;
    std::vector<Element*> open;
};

void on_start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto& builder = *static_cast<TreeBuilder*>(data);
    auto element = std::make_unique<Element>();
    element->name = split_name(name);
    for (const XML_Char** a = attributes; *a != nullptr; a += 2)
        element->attributes.emplace_back(split_name(a[0]), a[1]);
    Element* raw = element.get();
    if (builder.open.empty())
        builder.root = std::move(element);
    else
        builder.open.back()->children.emplace_back(std::move(element));
    builder.open.push_back(raw);
}

void on_end(void* data, const XML_Char*) { static_cast<TreeBuilder*>(data)->open.pop_back(); }

void on_text(void* data, const XML_Char* text, int length) {
    auto& builder = *static_cast<TreeBuilder*>(data);
    if (builder.open.empty()) return;
    auto& children = builder.open.back()->children;
    if (children.empty() || !std::holds_alternative<std::string>(children.back())) children.emplace_back(std::string());
    std::get<std::string>(children.back()).append(text, static_cast<std::size_t>(length));
}

// The document as a tree. Only called on text the updater's own parser accepted, which refuses
// document type declarations, so nothing external is read here either.
std::unique_ptr<Element> parse_tree(std::string_view xml) {
    const std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
        XML_ParserCreateNS("UTF-8", namespace_separator), &XML_ParserFree);
    TreeBuilder builder;
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), on_start, on_end);
    XML_SetCharacterDataHandler(parser.get(), on_text);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) != XML_STATUS_OK || !builder.root)
        throw PackError(fill(msg_bad_appcast, {XML_ErrorString(XML_GetErrorCode(parser.get()))}));
    return std::move(builder.root);
}

std::string escape_text(std::string_view text) { return xml_escape(text, "an appcast text"); }

std::string escape_attribute(std::string_view text) {
    return xml_escape(text, "an appcast attribute", MarkupPlace::attribute);
}

constexpr std::string_view xml_namespace_uri = "http://www.w3.org/XML/1998/namespace";

// Prefixes for the namespaces in a tree: the update framework's is "sparkle", any other gets one
// of its own; all are declared on the root.
class Prefixes {
public:
    explicit Prefixes(const Element& root) {
        prefixes_.emplace(std::string(sparkle::sparkle_namespace_uri), "sparkle");
        // xml:lang and the like: the reserved prefix is bound already, and declaring it again
        // under another name makes the whole feed ill-formed for every reader.
        prefixes_.emplace(std::string(xml_namespace_uri), "xml");
        collect(root);
    }
    std::string qualified(const Name& name) const {
        if (name.uri.empty()) return name.local;
        return prefixes_.at(name.uri) + ":" + name.local;
    }
    std::string declarations() const {
        std::string out;
        for (const auto& [uri, prefix] : prefixes_)
            if (uri != xml_namespace_uri) out += " xmlns:" + prefix + "=\"" + escape_attribute(uri) + "\"";
        return out;
    }

private:
    void add(const std::string& uri) {
        if (uri.empty() || prefixes_.count(uri) != 0) return;
        prefixes_.emplace(uri, "ns" + std::to_string(prefixes_.size()));
    }
    void collect(const Element& element) {
        add(element.name.uri);
        for (const auto& [name, value] : element.attributes) add(name.uri);
        for (const auto& child : element.children)
            if (const auto* sub = std::get_if<std::unique_ptr<Element>>(&child)) collect(**sub);
    }
    std::map<std::string, std::string> prefixes_;
};

void write_element(const Element& element, const Prefixes& prefixes, bool is_root, std::string& out) {
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "<" + std::string.
    out += '<';
    out += prefixes.qualified(element.name);
    if (is_root) out += prefixes.declarations();
    for (const auto& [name, value] : element.attributes) {
        out += ' ';
        out += prefixes.qualified(name);
        out += "=\"";
        out += escape_attribute(value);
        out += '"';
    }
    if (element.children.empty()) {
        out += "/>";
        return;
    }
    out += ">";
    for (const auto& child : element.children) {
        if (const auto* text = std::get_if<std::string>(&child))
            out += escape_text(*text);
        else
            write_element(*std::get<std::unique_ptr<Element>>(child), prefixes, false, out);
    }
    out += "</" + prefixes.qualified(element.name) + ">";
}

bool is_plain(const Element& element, std::string_view local) {
    return element.name.uri.empty() && element.name.local == local;
}

Element* as_element(Node& node) {
    auto* element = std::get_if<std::unique_ptr<Element>>(&node);
    return element != nullptr ? element->get() : nullptr;
}

std::unique_ptr<Element> make_element(std::string uri, std::string local) {
    auto element = std::make_unique<Element>();
    element->name = {std::move(uri), std::move(local)};
    return element;
}

void add_child(Element& parent, std::unique_ptr<Element> child, std::string_view indent) {
    parent.children.emplace_back(std::string(indent));
    parent.children.emplace_back(std::move(child));
}

void add_text_child(Element& parent, std::string uri, std::string local, std::string text, std::string_view indent) {
    auto child = make_element(std::move(uri), std::move(local));
    child->children.emplace_back(std::move(text));
    add_child(parent, std::move(child), indent);
}

std::unique_ptr<Element> item_element(const ReleaseItem& item) {
    const std::string sparkle_uri(sparkle::sparkle_namespace_uri);
    constexpr std::string_view indent = "\n      ";
    auto element = make_element("", "item");
    add_text_child(*element, "", "title", "Version " + item.short_version, indent);
    if (item.description) add_text_child(*element, "", "description", *item.description, indent);
    add_text_child(*element, "", "pubDate", item.pub_date, indent);
    if (item.channel) add_text_child(*element, sparkle_uri, "channel", *item.channel, indent);
    if (item.phased_rollout_interval)
        add_text_child(*element, sparkle_uri, "phasedRolloutInterval", std::to_string(*item.phased_rollout_interval),
                       indent);
    if (item.critical_update) add_child(*element, make_element(sparkle_uri, "criticalUpdate"), indent);
    add_text_child(*element, sparkle_uri, "version", item.version, indent);
    add_text_child(*element, sparkle_uri, "shortVersionString", item.short_version, indent);
    if (item.release_notes_url)
        add_text_child(*element, sparkle_uri, "releaseNotesLink", *item.release_notes_url, indent);
    auto enclosure = make_element("", "enclosure");
    enclosure->attributes = {
        {{"", "url"}, item.url},
        {{"", "length"}, std::to_string(item.length)},
        {{"", "type"}, "application/gzip"},
        {{sparkle_uri, "os"}, std::string(sparkle::this_operating_system)},
        {{sparkle_uri, "edSignature"}, item.signature},
    };
    add_child(*element, std::move(enclosure), indent);
    if (!item.deltas.empty()) {
        // The framework's own form: clients that know no deltas skip the element.
        auto deltas = make_element(sparkle_uri, "deltas");
        for (const ReleaseDelta& delta : item.deltas) {
            auto entry = make_element("", "enclosure");
            entry->attributes = {
                {{"", "url"}, delta.url},
                {{sparkle_uri, "deltaFrom"}, delta.from_version},
                {{"", "length"}, std::to_string(delta.length)},
                {{"", "type"}, "application/octet-stream"},
                {{sparkle_uri, "os"}, std::string(sparkle::this_operating_system)},
                {{sparkle_uri, "edSignature"}, delta.signature},
            };
            add_child(*deltas, std::move(entry), "\n        ");
        }
        deltas->children.emplace_back(std::string(indent));
        add_child(*element, std::move(deltas), indent);
    }
    element->children.emplace_back(std::string("\n    "));
    return element;
}

// An item this release takes the place of: the same version, offered to this system on the
// release's channel, as the updater would see it.
bool is_replaced(const sparkle::AppcastItem& old, const ReleaseItem& item) {
    const bool for_us = !old.os || *old.os == sparkle::this_operating_system;
    return for_us && old.channel == item.channel &&
           sparkle::compare_versions(old.version, item.version) == sparkle::Ordering::same;
}

std::string rfc822_date(std::time_t when) {
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    char text[64];
    // strftime's names are the C locale's, which this tool never changes: English, as RSS wants.
    const std::size_t size = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return std::string(text, size);
}

// --- The site's files ------------------------------------------------------------------------------

// A file that becomes `target` once renamed; removed unless it was.
class PendingFile {
public:
    explicit PendingFile(const fs::path& target) : target_(target) {
        std::string name = (target.parent_path() / hidden_name(target, ".kestrova-pack-XXXXXX")).string();
        const kestrova::FileDescriptor fd(::mkstemp(name.data()));
        if (fd.get() < 0) throw std::system_error(errno, std::generic_category());
        path_ = name;
    }
    ~PendingFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    const fs::path& path() const { return path_; }

    // Flushes the file to disk with the mode a web server can read.
    void finish() const {
        const kestrova::FileDescriptor fd(::open(path_.c_str(), O_WRONLY | O_CLOEXEC));
        if (fd.get() < 0) throw std::system_error(errno, std::generic_category());
        if (::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0)
            throw std::system_error(errno, std::generic_category());
    }
    void commit() {
        if (::rename(path_.c_str(), target_.c_str()) != 0) throw std::system_error(errno, std::generic_category());
        path_.clear();
    }

private:
    fs::path target_;
    fs::path path_;
};

void write_all(const fs::path& path, std::string_view text) {
    kestrova::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) throw std::system_error(errno, std::generic_category());
    int error = kestrova::write_all(fd.get(), text);
    if (fd.close() != 0 && error == 0) error = errno;
    if (error != 0) throw std::system_error(error, std::generic_category());
}

std::optional<std::string> read_if_present(const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return std::nullopt;
    const auto bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// The runtime must be a real directory all the way down: a link anywhere on the way would make
// the archive carry a link to a JDK that the machines it is installed on do not have.
void check_runtime(const fs::path& bundle) {
    fs::path path = kestrova::bundle_layout::contents_of(bundle);
    for (const auto& part : fs::path(kestrova::bundle_layout::runtime_home)) {
        path /= part;
        std::error_code ec;
        const auto status = fs::symlink_status(path, ec);
        if (status.type() == fs::file_type::symlink) throw PackError(fill(msg_runtime_link, {path.string()}));
        if (status.type() != fs::file_type::directory) throw PackError(fill(msg_no_runtime, {path.string()}));
    }
}

// The bundle must carry the key the installed copies will check its own updates with: the signing
// key's public half, or, for the one release that changes keys, the next key's. That release is
// signed with the current key, which the installed copies trust, and hands them the next one.
void check_keys(const ed::PublicKey& bundle_key, const ed::PublicKey& signing_key, const ReleaseOptions& options) {
    if (!options.next_key_file) {
        if (signing_key != bundle_key) throw PackError(fill(msg_wrong_key, {options.key_file.string()}));
        return;
    }
    const ed::PublicKey next_key = ed::public_key_of(read_key_file(*options.next_key_file));
    if (next_key == signing_key) throw PackError(fill(msg_same_next_key, {options.next_key_file->string()}));
    if (bundle_key == signing_key) throw PackError(fill(msg_old_key_in_bundle, {options.next_key_file->string()}));
    if (bundle_key != next_key) throw PackError(fill(msg_not_next_key, {options.next_key_file->string()}));
}

void check_feed_size(std::size_t size, const fs::path& appcast_path) {
    if (size > sparkle::max_feed_bytes)
        throw PackError(fill(msg_feed_too_large,
                             {std::to_string(size), std::to_string(sparkle::max_feed_bytes), appcast_path.string()}));
}

}  // namespace

std::string url_path_segment(std::string_view text) {
    constexpr std::string_view hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

std::string appcast_with_item(std::optional<std::string_view> existing, std::string_view title,
                              const ReleaseItem& item) {
    std::string skeleton;
    if (!existing) {
        skeleton = "<rss version=\"2.0\">\n  <channel>\n    <title>" + escape_text(title) +
                   "</title>\n  </channel>\n</rss>";
        existing = skeleton;
    }
    sparkle::Appcast parsed;
    try {
        parsed = sparkle::parse_appcast(*existing);
    } catch (const sparkle::AppcastError& e) {
        throw PackError(fill(msg_bad_appcast, {e.what()}));
    }
    sparkle::ItemAudience followers;
    if (item.channel) followers.channels.push_back(*item.channel);
    if (const auto* newest = sparkle::best_item(parsed, followers);
        newest != nullptr && sparkle::compare_versions(item.version, newest->version) == sparkle::Ordering::ascending)
        throw PackError(fill(msg_not_newer, {item.version, newest->version}));

    auto root = parse_tree(*existing);
    if (!is_plain(*root, "rss")) throw PackError(fill(msg_bad_appcast, {"its root element is not <rss>"}));

    // Items in document order, as the updater's parser lists them, so that parsed.items[i] is the
    // i-th one met here.
    std::size_t index = 0;
    Element* first_channel = nullptr;
    for (auto& node : root->children) {
        Element* channel = as_element(node);
        if (channel == nullptr || !is_plain(*channel, "channel")) continue;
        if (first_channel == nullptr) first_channel = channel;
        auto& children = channel->children;
        std::vector<Node> kept;
        for (auto& child : children) {
            Element* element = as_element(child);
            if (element != nullptr && is_plain(*element, "item")) {
                const bool replaced = index < parsed.items.size() && is_replaced(parsed.items[index], item);
                ++index;
                if (replaced) {
                    // The white space before it goes too, so that replacing does not add blank lines.
                    if (!kept.empty() && std::holds_alternative<std::string>(kept.back())) kept.pop_back();
                    continue;
                }
            }
            kept.push_back(std::move(child));
        }
        children = std::move(kept);
    }
    if (first_channel == nullptr) {
        root->children.emplace_back(make_element("", "channel"));
        first_channel = as_element(root->children.back());
    }

    // Newest first: before the channel's first item, or at its end when it has none.
    auto& children = first_channel->children;
    auto at = std::find_if(children.begin(), children.end(), [](Node& node) {
        const Element* element = as_element(node);
        return element != nullptr && is_plain(*element, "item");
    });
    if (at == children.end()) {
        // No item yet: the new one goes last, before the white space that indents the closing tag.
        if (!children.empty() && std::holds_alternative<std::string>(children.back())) at = children.end() - 1;
        at = children.insert(at, std::string("\n    "));
        children.insert(at + 1, item_element(item));
    } else {
        // [white space] old-first  becomes  [white space] new, white space, old-first.
        if (at == children.begin() || !std::holds_alternative<std::string>(*(at - 1)))
            at = children.insert(at, std::string("\n    ")) + 1;
        at = children.insert(at, item_element(item));
        children.insert(at + 1, std::string("\n    "));
    }

    const Prefixes prefixes(*root);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    write_element(*root, prefixes, true, out);
    out += "\n";
    return out;
}

std::string metadata_properties(std::string_view version) {
    // app.version + "." + app.revision is what the gate compares, so the split at the last "."
    // gives back the very text; without a ".", the revision is empty and "7." orders as "7".
    const auto dot = version.rfind('.');
    const std::string_view major = dot == std::string_view::npos ? version : version.substr(0, dot);
    const std::string_view revision = dot == std::string_view::npos ? std::string_view{} : version.substr(dot + 1);
    std::string text = "app.version=" + std::string(major) + "\napp.revision=" + std::string(revision) + "\n";
    const auto read_back = metadata_version(parse_metadata(text));
    if (!read_back || sparkle::compare_versions(*read_back, version) != sparkle::Ordering::same ||
        version.find_first_of("=\n\r") != std::string_view::npos)
        throw PackError(fill(msg_bad_metadata_version, {version}));
    return text;
}

std::string metadata_properties(std::string_view version, const ReleaseRollout& rollout) {
    std::string text = metadata_properties(version);
    // A date holds no '=' or line end; it is the item's own, which the release wrote.
    if (rollout.pub_date && rollout.pub_date->find_first_of("=\n\r") == std::string::npos)
        text += "app.pubDate=" + *rollout.pub_date + "\n";
    if (rollout.phased_rollout_interval)
        text += "app.phasedRolloutInterval=" + std::to_string(*rollout.phased_rollout_interval) + "\n";
    if (rollout.critical_update) text += "app.criticalUpdate=true\n";
    return text;
}

namespace {

// What metadata.properties says for an appcast: the newest item of the default channel, which is
// what every copy follows, and how it is rolled out. Empty when the default channel has no item.
std::string metadata_for_appcast(std::string_view appcast) {
    const sparkle::Appcast parsed = sparkle::parse_appcast(appcast);
    const sparkle::AppcastItem* newest = sparkle::best_item(parsed);
    if (newest == nullptr) return {};
    ReleaseRollout rollout;
    rollout.pub_date = newest->pub_date;
    rollout.phased_rollout_interval = newest->phased_rollout_interval;
    rollout.critical_update = newest->critical_update && !newest->critical_below_version;
    return metadata_properties(newest->version, rollout);
}

std::string read_release_notes(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) throw PackError(fill(msg_bad_release_notes, {file.string(), "is not a file"}));
    if (fs::file_size(file, ec) > max_release_notes_bytes)
        throw PackError(fill(msg_bad_release_notes, {file.string(), "is larger than 64 KiB"}));
    const std::vector<char> bytes = read_file(file);
    std::string text(bytes.begin(), bytes.end());
    if (!is_valid_utf8(text)) throw PackError(fill(msg_bad_release_notes, {file.string(), "is not UTF-8"}));
    return text;
}

}  // namespace

fs::path make_release(const ReleaseOptions& options) {
    // --- Everything that can refuse, before anything is written.
    const fs::path bundle = options.bundle.lexically_normal().has_filename()
                                ? options.bundle.lexically_normal()
                                : options.bundle.lexically_normal().parent_path();
    const std::string bundle_file = bundle.filename().string();
    std::error_code ec;
    const fs::path plist_path = kestrova::bundle_layout::info_plist_of(bundle);
    if (bundle_file.size() <= 4 || !bundle_file.ends_with(".app") || !fs::is_directory(bundle, ec) ||
        !fs::is_regular_file(plist_path, ec))
        throw PackError(fill(msg_not_a_bundle, {options.bundle.string()}));
    const std::string name = bundle_file.substr(0, bundle_file.size() - 4);
    if (options.download_url_prefix.empty()) throw PackError(std::string(msg_empty_prefix));

    const auto info = platform::read_info_dictionary(plist_path.string());
    const auto lookup = [&](std::string_view key) -> std::optional<std::string> {
        const auto it = info.find(key);
        return it == info.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const auto version = lookup(info_keys::bundle_version);
    if (!version || version->empty()) throw PackError(std::string(msg_no_version));
    if (version->find('/') != std::string::npos || version->front() == '.')
        throw PackError(fill(msg_bad_version_name, {*version}));
    check_runtime(bundle);

    const auto key_text = lookup(info_keys::public_ed_key);
    if (!key_text) throw PackError(std::string(msg_no_public_key));
    const auto bundle_key = ed::public_key_from_base64(*key_text);
    if (!bundle_key) throw PackError(std::string(msg_bad_public_key));
    const ed::Seed seed = read_key_file(options.key_file);
    check_keys(*bundle_key, ed::public_key_of(seed), options);

    if (fs::exists(options.site, ec) && !fs::is_directory(options.site, ec))
        throw PackError(fill(msg_site_not_dir, {options.site.string()}));
    const fs::path appcast_path = options.site / "appcast.xml";
    if (!options.channel) metadata_properties(*version);  // refused before anything is written
    // The files are signed for this application with the key installed copies check with, and with
    // the next one while keys change, so that copies of either side read the feed.
    std::vector<ed::Seed> feed_keys{seed};
    if (options.next_key_file) feed_keys.push_back(read_key_file(*options.next_key_file));
    const std::string identifier = lookup(info_keys::bundle_identifier).value_or("");

    const std::string archive_name = name + "-" + *version + ".tar.gz";
    ReleaseItem item;
    item.version = *version;
    item.short_version = lookup(info_keys::bundle_short_version).value_or(*version);
    std::string prefix = options.download_url_prefix;
    if (!prefix.ends_with('/')) prefix += '/';
    item.url = prefix + url_path_segment(archive_name);
    item.release_notes_url = options.release_notes_url;
    if (options.release_notes_file) item.description = read_release_notes(*options.release_notes_file);
    item.channel = options.channel;
    item.phased_rollout_interval = options.phased_rollout_interval;
    item.critical_update = options.critical_update;
    item.pub_date = rfc822_date(options.source_date_epoch ? static_cast<std::time_t>(*options.source_date_epoch)
                                                          : std::time(nullptr));

    // --- Writing: each file aside, then all renamed into place, the metadata last, so that the gate
    // never announces a version the appcast does not yet offer. The site stays locked from reading
    // the appcast to the last rename, so that a release made meanwhile is never overwritten.
    const bool site_existed = fs::exists(options.site, ec);
    try {
        fs::create_directories(options.site);
        const SiteLock lock(options.site);
        const auto existing = read_if_present(appcast_path);
        const sparkle::FeedStamp stamp = next_feed_stamp(existing,
                                                         read_if_present(options.site / "metadata.properties"),
                                                         identifier, std::time(nullptr), options.expires_in_days);
        const auto signed_text = [&](std::string_view body, sparkle::FeedFile file) {
            return identifier.empty() ? std::string(body) : sparkle::sign_feed_file(body, file, stamp, feed_keys);
        };
        // A dry run of the appcast with this item, with the longest signature and length it can get,
        // so that a feed that refuses it, or would grow too large, does so before anything is written.
        const std::vector<std::string> bases = delta_base_versions(existing, *version, options.site, name,
                                                                   options.deltas);
        for (const std::string& base : bases)
            item.deltas.push_back({base, prefix + url_path_segment(delta_file_name(name, base, *version)), 0, ""});
        ReleaseItem longest = item;
        longest.signature.assign(88, 'A');
        longest.length = std::numeric_limits<std::uint64_t>::max();
        for (ReleaseDelta& delta : longest.deltas) {
            delta.signature.assign(88, 'A');
            delta.length = std::numeric_limits<std::uint64_t>::max();
        }
        const std::string longest_appcast = appcast_with_item(existing, name, longest);
        check_feed_size(signed_text(longest_appcast, sparkle::FeedFile::appcast).size(), appcast_path);
        // The newest default item is the same whatever the signatures and lengths turn out to be.
        const std::string metadata = metadata_for_appcast(longest_appcast);

        PendingFile archive(options.site / archive_name);
        PendingFile appcast(appcast_path);
        PendingFile properties(options.site / "metadata.properties");
        write_bundle_archive(bundle, archive.path(), options.source_date_epoch);
        archive.finish();
        {
            const ed::MappedFile bytes(archive.path());
            item.signature = ed::encode_base64(ed::sign(seed, bytes.bytes()));
            item.length = bytes.bytes().size();
        }
        std::vector<std::unique_ptr<PendingFile>> delta_files;
        std::vector<std::pair<fs::path, fs::path>> olds_and_outs;
        for (const ReleaseDelta& delta : item.deltas) {
            delta_files.push_back(
                std::make_unique<PendingFile>(options.site / delta_file_name(name, delta.from_version, *version)));
            olds_and_outs.emplace_back(options.site / (name + "-" + delta.from_version + ".tar.gz"),
                                       delta_files.back()->path());
        }
        make_deltas_between_archives(olds_and_outs, archive.path());
        for (std::size_t i = 0; i < item.deltas.size(); ++i) {
            delta_files[i]->finish();
            const ed::MappedFile bytes(delta_files[i]->path());
            item.deltas[i].signature = ed::encode_base64(ed::sign(seed, bytes.bytes()));
            item.deltas[i].length = bytes.bytes().size();
        }
        write_all(appcast.path(), signed_text(appcast_with_item(existing, name, item), sparkle::FeedFile::appcast));
        appcast.finish();
        write_all(properties.path(), signed_text(metadata, sparkle::FeedFile::metadata));
        properties.finish();
        archive.commit();
        for (const auto& delta : delta_files) delta->commit();
        appcast.commit();
        properties.commit();
    } catch (const std::system_error& e) {
        // Only an empty one: another run may have released into it meanwhile.
        if (!site_existed) fs::remove(options.site, ec);
        throw PackError(fill(msg_cannot_write_site, {options.site.string(), e.code().message()}));
    } catch (const PackError&) {
        if (!site_existed) fs::remove(options.site, ec);
        throw;
    }
    return options.site / archive_name;
}

}  // namespace kestrova::pack
