#include "protocol/appcast.h"

#include "protocol/rollout.h"
#include "protocol/version_comparator.h"

#include "kestrova/text.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace kestrova::protocol {

namespace {

constexpr std::string_view doctype_refused = "document type declarations are not allowed";
constexpr std::string_view entity_refused = "entity declarations are not allowed";
constexpr std::string_view external_entity_refused = "external entities are not allowed";

// Expat hands over names as "URI<separator>local". A control character can never occur in an XML 1.0
// document, so no namespace URI can hold it and the split is unambiguous.
constexpr char namespace_separator = '\x1F';

// Expat takes lengths as int; larger feeds go in pieces.
constexpr std::size_t chunk_size = std::size_t{1} << 20;

struct Name {
    std::string_view uri;  // empty: no namespace
    std::string_view local;
    bool is(std::string_view local_name) const { return uri.empty() && local == local_name; }
    bool is_sparkle(std::string_view local_name) const { return uri == sparkle_namespace_uri && local == local_name; }
};

Name split_name(const XML_Char* name) {
    const std::string_view full(name);
    const std::size_t separator = full.find(namespace_separator);
    if (separator == std::string_view::npos) return {{}, full};
    return {full.substr(0, separator), full.substr(separator + 1)};
}

std::optional<std::uint64_t> parse_length(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes "%XX" where it stands for printable ASCII; anything else stays as written, so the result is
// valid UTF-8 whenever the input is.
std::string decode_printable_escapes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hex_digit(text[i + 1]);
            const int low = hex_digit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                const int byte = high * 16 + low;
                if (byte >= 0x20 && byte < 0x7F) {
                    out += static_cast<char>(byte);
                    i += 2;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

// The version a download's file name implies: the last "_" piece of the URL path's last component,
// without its extension ("App_1.2.zip" gives "1.2").
std::string version_from_file_name(std::string_view url) {
    std::size_t path_start = 0;
    if (const std::size_t scheme_end = url.find("://"); scheme_end != std::string_view::npos) {
        path_start = url.find_first_of("/?#", scheme_end + 3);
        if (path_start == std::string_view::npos) return {};
    }
    std::string_view path = url.substr(path_start);
    path = path.substr(0, path.find_first_of("?#"));
    const std::string file = decode_printable_escapes(path.substr(path.rfind('/') + 1));
    std::string_view piece = file;
    piece = piece.substr(piece.rfind('_') + 1);
    // "App_.zip" leaves ".zip": all extension, no version.
    piece = piece.substr(0, piece.rfind('.'));
    return std::string(piece);
}

// What one item's direct children said, before the version is settled. Of a repeated child the
// first counts.
struct ItemFields {
    std::size_t line = 0;
    std::optional<std::string> title, link, description, pub_date;
    std::optional<std::string> version_element, short_version_element, channel;
    std::optional<std::string> release_notes_link, phased_rollout_interval;
    bool critical_update = false;
    std::optional<std::string> critical_below_version;
    std::optional<Enclosure> enclosure;
    std::vector<DeltaEnclosure> deltas;
    bool deltas_seen = false;
    std::optional<std::string> version_attribute, short_version_attribute, os;
};

class AppcastReader {
public:
    // Each item goes to `sink` as soon as it is complete, when there is one; otherwise into the
    // appcast.
    AppcastReader(XML_Parser parser, std::function<void(AppcastItem&&)> sink)
        : parser_(parser), sink_(std::move(sink)) {}

    void start_element(const XML_Char* raw_name, const XML_Char** attributes);
    void end_element();
    void text(std::string_view chunk) {
        if (capture_) captured_ += chunk;
    }

    // Stops the parser with `message`; the first reason given is the one reported.
    void refuse(std::string message) {
        if (!error_) error_ = std::move(message) + " (line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ")";
        XML_StopParser(parser_, XML_FALSE);
    }
    void fail(std::exception_ptr exception) {
        if (!exception_) exception_ = std::move(exception);
        XML_StopParser(parser_, XML_FALSE);
    }

    const std::optional<std::string>& error() const { return error_; }
    std::exception_ptr exception() const { return exception_; }
    Appcast take_appcast() { return std::move(appcast_); }
    std::size_t items_read() const { return items_read_; }

private:
    // Where the text being collected goes once its element ends.
    enum class Target {
        channel_title,
        title,
        link,
        description,
        pub_date,
        version,
        short_version,
        channel,
        release_notes_link,
        phased_rollout_interval
    };

    void begin_capture(Target target) {
        capture_ = target;
        capture_depth_ = depth_;
        captured_.clear();
    }
    void finish_capture();
    void read_enclosure(const XML_Char** attributes);
    void read_delta(const XML_Char** attributes);
    void read_critical_update(const XML_Char** attributes);
    void finish_item();

    XML_Parser parser_;
    std::function<void(AppcastItem&&)> sink_;
    Appcast appcast_;
    std::size_t items_read_ = 0;
    bool channel_title_seen_ = false;
    std::size_t depth_ = 0;           // elements open, the one being started or ended included
    bool is_rss_ = false;             // the root is <rss>
    bool in_rss_channel_ = false;     // inside /rss/channel (at depth 2)
    std::optional<ItemFields> item_;  // inside /rss/channel/item (at depth 3)
    bool in_deltas_ = false;          // inside the item's first <sparkle:deltas> (at depth 4)
    std::optional<Target> capture_;
    std::size_t capture_depth_ = 0;
    std::string captured_;
    std::optional<std::string> error_;
    std::exception_ptr exception_;
};

void AppcastReader::start_element(const XML_Char* raw_name, const XML_Char** attributes) {
    ++depth_;
    const Name name = split_name(raw_name);
    if (depth_ == 1) {
        is_rss_ = name.is("rss");
    } else if (depth_ == 2) {
        in_rss_channel_ = is_rss_ && name.is("channel");
    } else if (depth_ == 3 && in_rss_channel_) {
        if (name.is("item")) {
            item_.emplace();
            item_->line = XML_GetCurrentLineNumber(parser_);
        } else if (name.is("title") && !channel_title_seen_) {
            begin_capture(Target::channel_title);
        }
    } else if (depth_ == 4 && item_) {
        if (name.is("title")) {
            if (!item_->title) begin_capture(Target::title);
        } else if (name.is("link")) {
            if (!item_->link) begin_capture(Target::link);
        } else if (name.is("description")) {
            if (!item_->description) begin_capture(Target::description);
        } else if (name.is("pubDate")) {
            if (!item_->pub_date) begin_capture(Target::pub_date);
        } else if (name.is("enclosure")) {
            if (!item_->enclosure) read_enclosure(attributes);
        } else if (name.is_sparkle("version")) {
            if (!item_->version_element) begin_capture(Target::version);
        } else if (name.is_sparkle("shortVersionString")) {
            if (!item_->short_version_element) begin_capture(Target::short_version);
        } else if (name.is_sparkle("channel")) {
            if (!item_->channel) begin_capture(Target::channel);
        } else if (name.is_sparkle("deltas")) {
            in_deltas_ = !std::exchange(item_->deltas_seen, true);
        } else if (name.is_sparkle("releaseNotesLink")) {
            if (!item_->release_notes_link) begin_capture(Target::release_notes_link);
        } else if (name.is_sparkle("phasedRolloutInterval")) {
            if (!item_->phased_rollout_interval) begin_capture(Target::phased_rollout_interval);
        } else if (name.is_sparkle("criticalUpdate")) {
            read_critical_update(attributes);
        }
    } else if (depth_ == 5 && item_ && in_deltas_ && name.is("enclosure")) {
        read_delta(attributes);
    }
}

void AppcastReader::end_element() {
    if (capture_ && depth_ == capture_depth_) finish_capture();
    if (depth_ == 4) in_deltas_ = false;
    if (depth_ == 3 && item_) finish_item();
    if (depth_ == 2) in_rss_channel_ = false;
    --depth_;
}

void AppcastReader::finish_capture() {
    std::string value(trim_white_space(captured_));
    switch (*capture_) {
        case Target::channel_title:
            appcast_.title = std::move(value);
            channel_title_seen_ = true;
            break;
        case Target::title:
            item_->title = std::move(value);
            break;
        case Target::link:
            item_->link = std::move(value);
            break;
        case Target::description:
            item_->description = std::move(value);
            break;
        case Target::pub_date:
            item_->pub_date = std::move(value);
            break;
        case Target::version:
            item_->version_element = std::move(value);
            break;
        case Target::short_version:
            item_->short_version_element = std::move(value);
            break;
        case Target::channel:
            item_->channel = std::move(value);
            break;
        case Target::release_notes_link:
            item_->release_notes_link = std::move(value);
            break;
        case Target::phased_rollout_interval:
            item_->phased_rollout_interval = std::move(value);
            break;
    }
    capture_.reset();
    captured_.clear();
}

void AppcastReader::read_enclosure(const XML_Char** attributes) {
    Enclosure& enclosure = item_->enclosure.emplace();
    for (const XML_Char** attribute = attributes; *attribute; attribute += 2) {
        const Name name = split_name(attribute[0]);
        const std::string_view value = trim_white_space(attribute[1]);
        if (name.is("url")) {
            enclosure.url = value;
        } else if (name.is("length")) {
            enclosure.length = parse_length(value);
        } else if (name.is("type")) {
            enclosure.type = value;
        } else if (name.is_sparkle("version")) {
            item_->version_attribute = value;
        } else if (name.is_sparkle("shortVersionString")) {
            item_->short_version_attribute = value;
        } else if (name.is_sparkle("os")) {
            item_->os = value;
        } else if (name.is_sparkle("edSignature")) {
            enclosure.ed_signature = value;
        }
    }
}

// Only the deltas a client can use are kept: an address, a base version, a length and a signature.
void AppcastReader::read_delta(const XML_Char** attributes) {
    DeltaEnclosure delta;
    for (const XML_Char** attribute = attributes; *attribute; attribute += 2) {
        const Name name = split_name(attribute[0]);
        const std::string_view value = trim_white_space(attribute[1]);
        if (name.is("url")) delta.url = value;
        if (name.is("length")) delta.length = parse_length(value);
        if (name.is_sparkle("deltaFrom")) delta.from_version = value;
        if (name.is_sparkle("edSignature")) delta.ed_signature = value;
    }
    if (!delta.url.empty() && !delta.from_version.empty() && delta.from_version.size() <= max_version_bytes &&
        delta.length && delta.ed_signature)
        item_->deltas.push_back(std::move(delta));
}

// The first <sparkle:criticalUpdate> counts; its sparkle:version, when given, bounds whom it is for.
void AppcastReader::read_critical_update(const XML_Char** attributes) {
    if (std::exchange(item_->critical_update, true)) return;
    for (const XML_Char** attribute = attributes; *attribute; attribute += 2) {
        const std::string_view value = trim_white_space(attribute[1]);
        if (split_name(attribute[0]).is_sparkle("version") && !value.empty() && value.size() <= max_version_bytes)
            item_->critical_below_version = value;
    }
}

void AppcastReader::finish_item() {
    ItemFields fields = std::move(*item_);
    item_.reset();

    AppcastItem item;
    item.title = fields.title.value_or("");
    item.link = fields.link.value_or("");
    item.description = std::move(fields.description);
    item.pub_date = std::move(fields.pub_date);
    item.os = std::move(fields.os);
    item.channel = std::move(fields.channel);
    if (fields.release_notes_link && !fields.release_notes_link->empty())
        item.release_notes_link = std::move(fields.release_notes_link);
    if (fields.phased_rollout_interval) {
        const auto seconds = parse_length(*fields.phased_rollout_interval);
        if (seconds && *seconds > 0 && *seconds <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            item.phased_rollout_interval = static_cast<std::int64_t>(*seconds);
    }
    item.critical_update = fields.critical_update;
    item.critical_below_version = std::move(fields.critical_below_version);
    if (fields.version_attribute && !fields.version_attribute->empty()) {
        item.version = std::move(*fields.version_attribute);
    } else if (fields.version_element && !fields.version_element->empty()) {
        item.version = std::move(*fields.version_element);
    } else if (fields.enclosure) {
        item.version = version_from_file_name(fields.enclosure->url);
    }
    if (fields.short_version_attribute && !fields.short_version_attribute->empty()) {
        item.short_version = std::move(fields.short_version_attribute);
    } else if (fields.short_version_element && !fields.short_version_element->empty()) {
        item.short_version = std::move(fields.short_version_element);
    }
    item.enclosure = std::move(fields.enclosure);
    if (item.enclosure) item.enclosure->deltas = std::move(fields.deltas);

    if (item.version.empty()) {
        const std::size_t number = items_read_ + 1;
        error_ = "item " + std::to_string(number) + " (\"" + item.title + "\", line " + std::to_string(fields.line) +
                 ") has no version";
        XML_StopParser(parser_, XML_FALSE);
        return;
    }
    if (item.version.size() > max_version_bytes) {
        const std::size_t number = items_read_ + 1;
        error_ = "item " + std::to_string(number) + " (line " + std::to_string(fields.line) + ") has a version of " +
                 std::to_string(item.version.size()) + " bytes; versions longer than " +
                 std::to_string(max_version_bytes) + " bytes are refused";
        XML_StopParser(parser_, XML_FALSE);
        return;
    }
    ++items_read_;
    if (sink_) {
        sink_(std::move(item));
    } else {
        appcast_.items.push_back(std::move(item));
    }
}

AppcastReader& reader_of(void* user_data) { return *static_cast<AppcastReader*>(user_data); }

// The handlers run inside Expat's C code: no exception may cross it, so any is kept and rethrown once
// the parser has stopped.
template <typename Body>
void guarded(void* user_data, Body body) {
    try {
        body(reader_of(user_data));
    } catch (...) {
        reader_of(user_data).fail(std::current_exception());
    }
}

void XMLCALL on_start_element(void* user_data, const XML_Char* name, const XML_Char** attributes) {
    guarded(user_data, [&](AppcastReader& reader) { reader.start_element(name, attributes); });
}

void XMLCALL on_end_element(void* user_data, const XML_Char*) {
    guarded(user_data, [](AppcastReader& reader) { reader.end_element(); });
}

void XMLCALL on_text(void* user_data, const XML_Char* text, int length) {
    guarded(user_data,
            [&](AppcastReader& reader) { reader.text(std::string_view(text, static_cast<std::size_t>(length))); });
}

// A document type declaration is where entities (internal ones that multiply, external ones that read
// files or the network) would be declared. Stopping at its start means none is ever declared, so
// Expat expands nothing but the predefined entities and character references.
void XMLCALL on_doctype(void* user_data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    guarded(user_data, [](AppcastReader& reader) { reader.refuse(std::string(doctype_refused)); });
}

// Unreachable while document types are refused; kept so that an entity can never slip through.
void XMLCALL on_entity_declaration(void* user_data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                                   const XML_Char*, const XML_Char*, const XML_Char*) {
    guarded(user_data, [](AppcastReader& reader) { reader.refuse(std::string(entity_refused)); });
}

int XMLCALL on_external_entity(XML_Parser parser, const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    guarded(XML_GetUserData(parser),
            [](AppcastReader& reader) { reader.refuse(std::string(external_entity_refused)); });
    return XML_STATUS_ERROR;
}

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

// Reads the whole feed with `parser_handle` into `reader`. Throws AppcastError.
void read_appcast(std::string_view xml, AppcastReader& reader, XML_Parser parser_handle) {
    XML_SetUserData(parser_handle, &reader);
    XML_SetElementHandler(parser_handle, on_start_element, on_end_element);
    XML_SetCharacterDataHandler(parser_handle, on_text);
    XML_SetStartDoctypeDeclHandler(parser_handle, on_doctype);
    XML_SetEntityDeclHandler(parser_handle, on_entity_declaration);
    XML_SetExternalEntityRefHandler(parser_handle, on_external_entity);
    XML_SetParamEntityParsing(parser_handle, XML_PARAM_ENTITY_PARSING_NEVER);

    std::size_t offset = 0;
    XML_Status status;
    do {
        const std::size_t length = std::min(chunk_size, xml.size() - offset);
        const bool final = offset + length == xml.size();
        status = XML_Parse(parser_handle, xml.data() + offset, static_cast<int>(length), final ? XML_TRUE : XML_FALSE);
        offset += length;
    } while (status == XML_STATUS_OK && offset < xml.size());

    if (reader.exception()) std::rethrow_exception(reader.exception());
    if (reader.error()) throw AppcastError(*reader.error());
    if (status != XML_STATUS_OK) {
        throw AppcastError("malformed XML at line " + std::to_string(XML_GetCurrentLineNumber(parser_handle)) + ": " +
                           XML_ErrorString(XML_GetErrorCode(parser_handle)));
    }
}

bool is_critical_for(const AppcastItem& item, std::string_view installed_version) {
    if (!item.critical_update) return false;
    if (!item.critical_below_version) return true;
    return compare_versions(installed_version, *item.critical_below_version) == Ordering::ascending;
}

}  // namespace

Appcast parse_appcast(std::string_view xml) {
    const ParserPtr parser(XML_ParserCreateNS(nullptr, namespace_separator));
    if (!parser) throw std::bad_alloc();
    AppcastReader reader(parser.get(), nullptr);
    read_appcast(xml, reader, parser.get());
    return reader.take_appcast();
}

namespace {

bool is_for(const AppcastItem& item, const ItemAudience& audience) {
    if (item.os && *item.os != audience.os) return false;
    return !item.channel ||
           std::find(audience.channels.begin(), audience.channels.end(), *item.channel) != audience.channels.end();
}

bool is_due(const AppcastItem& item, const ItemAudience& audience) {
    if (!audience.rollout_group || !item.phased_rollout_interval || is_critical_for(item, audience.installed_version))
        return true;
    // Without a date the rollout has no start: the framework lets everyone in.
    const auto published = item.pub_date ? parse_rfc822_date(*item.pub_date) : std::nullopt;
    return !published ||
           rollout_group_is_due(*published, *item.phased_rollout_interval, *audience.rollout_group, audience.now);
}

}  // namespace

bool is_offered(const AppcastItem& item, const ItemAudience& audience) {
    return is_for(item, audience) && is_due(item, audience);
}

AppcastChoice choose_from_appcast(std::string_view xml, std::string_view os) {
    ItemAudience audience;
    audience.os = os;
    return choose_from_appcast(xml, audience);
}

AppcastChoice choose_from_appcast(std::string_view xml, const ItemAudience& audience) {
    const ParserPtr parser(XML_ParserCreateNS(nullptr, namespace_separator));
    if (!parser) throw std::bad_alloc();
    AppcastChoice choice;
    AppcastReader reader(parser.get(), [&](AppcastItem&& item) {
        if (!is_for(item, audience)) return;
        if (!is_due(item, audience)) {
            if (!choice.newest_not_due || compare_versions(*choice.newest_not_due, item.version) == Ordering::ascending)
                choice.newest_not_due = item.version;
            return;
        }
        if (!choice.best || compare_versions(choice.best->version, item.version) == Ordering::ascending)
            choice.best = std::move(item);
    });
    read_appcast(xml, reader, parser.get());
    choice.item_count = reader.items_read();
    choice.title = reader.take_appcast().title;
    return choice;
}

const AppcastItem* best_item(const Appcast& appcast, std::string_view os) {
    ItemAudience audience;
    audience.os = os;
    return best_item(appcast, audience);
}

const AppcastItem* best_item(const Appcast& appcast, const ItemAudience& audience) {
    const AppcastItem* best = nullptr;
    for (const AppcastItem& candidate : appcast.items) {
        if (!is_offered(candidate, audience)) continue;
        if (!best || compare_versions(best->version, candidate.version) == Ordering::ascending) {
            best = &candidate;
        }
    }
    return best;
}

}  // namespace kestrova::protocol
