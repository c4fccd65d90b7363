#include "protocol/appcast_writer.h"

#include <expat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "protocol/appcast.h"
#include "protocol/version_comparator.h"

namespace kestrova::protocol {

namespace {

// A small XML tree, enough to carry an appcast through unchanged.

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
        throw AppcastWriteError(AppcastWriteError::Kind::unreadable, XML_ErrorString(XML_GetErrorCode(parser.get())));
    return std::move(builder.root);
}

std::string escaped(std::string_view text, MarkupPlace place) {
    if (markup_fault(text) != MarkupFault::none)
        throw AppcastWriteError(AppcastWriteError::Kind::bad_text, std::string(text), place);
    return escape_markup(text, place);
}

std::string escape_text(std::string_view text) { return escaped(text, MarkupPlace::text); }

std::string escape_attribute(std::string_view text) { return escaped(text, MarkupPlace::attribute); }

constexpr std::string_view xml_namespace_uri = "http://www.w3.org/XML/1998/namespace";

// Prefixes for the namespaces in a tree: the update framework's is "sparkle", any other gets one
// of its own; all are declared on the root.
class Prefixes {
public:
    explicit Prefixes(const Element& root) {
        prefixes_.emplace(std::string(sparkle_namespace_uri), "sparkle");
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
    const std::string sparkle_uri(sparkle_namespace_uri);
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
        {{sparkle_uri, "os"}, std::string(this_operating_system)},
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
                {{sparkle_uri, "os"}, std::string(this_operating_system)},
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
bool is_replaced(const AppcastItem& old, const ReleaseItem& item) {
    const bool for_us = !old.os || *old.os == this_operating_system;
    return for_us && old.channel == item.channel && compare_versions(old.version, item.version) == Ordering::same;
}

}  // namespace

std::string appcast_with_item(std::optional<std::string_view> existing, std::string_view title,
                              const ReleaseItem& item) {
    std::string skeleton;
    if (!existing) {
        skeleton = "<rss version=\"2.0\">\n  <channel>\n    <title>" + escape_text(title) +
                   "</title>\n  </channel>\n</rss>";
        existing = skeleton;
    }
    Appcast parsed;
    try {
        parsed = parse_appcast(*existing);
    } catch (const AppcastError& e) {
        throw AppcastWriteError(AppcastWriteError::Kind::unreadable, e.what());
    }
    ItemAudience followers;
    if (item.channel) followers.channels.push_back(*item.channel);
    if (const auto* newest = best_item(parsed, followers);
        newest != nullptr && compare_versions(item.version, newest->version) == Ordering::ascending)
        throw AppcastWriteError(AppcastWriteError::Kind::not_newer, newest->version);

    auto root = parse_tree(*existing);
    if (!is_plain(*root, "rss"))
        throw AppcastWriteError(AppcastWriteError::Kind::unreadable, "its root element is not <rss>");

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

std::string rfc822_date(std::time_t when) {
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    char text[64];
    // strftime's names are the C locale's, which this tool never changes: English, as RSS wants.
    const std::size_t size = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return std::string(text, size);
}

}  // namespace kestrova::protocol
