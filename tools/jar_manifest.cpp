#include "tools/jar_manifest.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <new>
#include <set>

#include "tools/packaging.h"

namespace kestrova::pack {

namespace {

constexpr std::string_view manifest_entry = "META-INF/MANIFEST.MF";

constexpr std::string_view msg_not_a_jar = "cannot read \"{}\" as a JAR (ZIP archive): {}; check that it is a JAR";
constexpr std::string_view msg_bad_opens =
    "{} of \"{}\" names \"{}\", which is not MODULE/PACKAGE; fix the JAR's manifest";
constexpr std::string_view msg_bad_native_access =
    "Enable-Native-Access of \"{}\" is \"{}\"; java -jar accepts only ALL-UNNAMED: fix the JAR's manifest";
constexpr std::string_view msg_remote_class_path =
    "the Class-Path of \"{}\" names \"{}\", a URL the bundle cannot carry; download what it names and add it "
    "with --jar";
constexpr std::string_view msg_climbing_class_path =
    "the Class-Path of \"{}\" names \"{}\", outside the JAR's directory, which the bundle cannot hold "
    "beside it; add that JAR with --jar instead";
constexpr std::string_view msg_bad_escape =
    "the Class-Path of \"{}\" names \"{}\", with a broken %-escape; fix the JAR's manifest";

struct ArchiveCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        auto end = text.find_first_of(" \t\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        out.emplace_back(text.substr(start, end - start));
        at = end;
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A URL with a scheme: letters, digits, '+', '-', '.' after a leading letter, then ':'.
bool has_scheme(std::string_view entry) {
    const auto colon = entry.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    if (!((entry[0] >= 'a' && entry[0] <= 'z') || (entry[0] >= 'A' && entry[0] <= 'Z'))) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = entry[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// The lines of `text`, without their line ends and trailing white space.
std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string line(text.substr(0, end));
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        lines.push_back(std::move(line));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

// libarchive gives no text for some failures.
std::string_view archive_error_of(archive* reader) {
    const char* text = archive_error_string(reader);
    return text != nullptr ? text : "unknown archive error";
}

// The JAR opened for reading its entries in turn. Throws PackError when it is not a ZIP file.
std::unique_ptr<archive, ArchiveCloser> open_jar(const std::filesystem::path& jar) {
    std::unique_ptr<archive, ArchiveCloser> reader(archive_read_new());
    if (!reader) throw std::bad_alloc();
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), jar.c_str(), 1 << 16) != ARCHIVE_OK)
        throw PackError(fill(msg_not_a_jar, {jar.string(), archive_error_of(reader.get())}));
    return reader;
}

}  // namespace

std::optional<std::string> read_jar_manifest(const std::filesystem::path& jar) {
    const auto reader = open_jar(jar);
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) return std::nullopt;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            throw PackError(fill(msg_not_a_jar, {jar.string(), archive_error_of(reader.get())}));
        const char* name = archive_entry_pathname(entry);
        if (name == nullptr || !equals_ignoring_case(name, manifest_entry)) continue;
        std::string text;
        char buffer[1 << 14];
        for (;;) {
            const la_ssize_t got = archive_read_data(reader.get(), buffer, sizeof buffer);
            if (got < 0) throw PackError(fill(msg_not_a_jar, {jar.string(), archive_error_of(reader.get())}));
            if (got == 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
}

ClassFileReferences class_file_references(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t at = 0;
    bool truncated = false;
    const auto u2 = [&]() -> std::size_t {
        if (at + 2 > bytes.size()) {
            truncated = true;
            return 0;
        }
        at += 2;
        return std::size_t{data[at - 2]} << 8 | data[at - 1];
    };
    const auto skip = [&](std::size_t count) {
        if (at + count > bytes.size()) truncated = true;
        at = std::min(at + count, bytes.size());
    };
    if (bytes.size() < 10 || bytes.substr(0, 4) != "\xCA\xFE\xBA\xBE") return {};
    at = 8;
    const std::size_t count = u2();
    std::vector<std::string_view> utf8(count);
    std::vector<std::size_t> strings;  // the Utf8 indices that CONSTANT_String entries name
    std::vector<std::size_t> class_of(count), name_of(count), descriptor_of(count);  // Class, NameAndType
    std::vector<std::pair<std::size_t, std::size_t>> methods;                        // (Class index, NameAndType index)
    std::vector<std::size_t> classes, descriptors;
    for (std::size_t index = 1; index < count && !truncated; ++index) {
        if (at >= bytes.size()) return {};
        switch (data[at++]) {
            case 1: {  // Utf8
                const std::size_t length = u2();
                if (at + length > bytes.size()) return {};
                utf8[index] = bytes.substr(at, length);
                at += length;
                break;
            }
            case 8:
                strings.push_back(u2());
                break;  // String
            case 7:
                classes.push_back(class_of[index] = u2());
                break;  // Class
            case 12:    // NameAndType
                name_of[index] = u2();
                descriptors.push_back(descriptor_of[index] = u2());
                break;
            case 10:
            case 11: {  // Methodref, InterfaceMethodref
                const std::size_t owner = u2();
                methods.emplace_back(owner, u2());
                break;
            }
            case 16:
            case 19:
            case 20:
                skip(2);
                break;  // MethodType, Module, Package
            case 15:
                skip(3);
                break;  // MethodHandle
            case 3:
            case 4:
            case 9:
            case 17:
            case 18:
                skip(4);
                break;
            case 5:
            case 6:
                skip(8);
                ++index;
                break;  // Long, Double: two slots
            default:
                return {};  // not a constant pool we know
        }
    }
    if (truncated) return {};
    const auto text = [&](std::size_t index) { return index < count ? utf8[index] : std::string_view(); };
    ClassFileReferences out;
    for (const auto index : strings)
        if (index < count) out.strings.emplace_back(utf8[index]);
    // A class entry of an array type is its descriptor ([Ljava/lang/String;).
    for (const auto index : classes) {
        const auto name = text(index);
        if (name.starts_with('['))
            descriptors.push_back(index);
        else if (!name.empty())
            out.classes.emplace_back(name);
    }
    // The types in the descriptors of the methods and fields it uses: a class whose method returns
    // a type names it there only (ToolProvider.getSystemJavaCompiler()Ljavax/tools/JavaCompiler;).
    for (const auto index : descriptors) {
        const auto descriptor = text(index);
        for (std::size_t from = descriptor.find('L'); from != std::string_view::npos;
             from = descriptor.find('L', from)) {
            const auto end = descriptor.find(';', from);
            if (end == std::string_view::npos) break;
            out.classes.emplace_back(descriptor.substr(from + 1, end - from - 1));
            from = end;
        }
    }
    for (const auto& [owner, name_and_type] : methods) {
        if (owner >= count || name_and_type >= count) continue;
        out.methods.push_back({std::string(text(class_of[owner])), std::string(text(name_of[name_and_type]))});
    }
    std::sort(out.classes.begin(), out.classes.end());
    out.classes.erase(std::unique(out.classes.begin(), out.classes.end()), out.classes.end());
    return out;
}

namespace {

// `text` as an internal class name when it has the form of one: Java identifier characters in at
// least two parts separated by '.' or '/' (one kind only).
std::optional<std::string> as_internal_class_name(std::string_view text) {
    if (text.size() < 3 || text.size() > 512) return std::nullopt;
    const bool dotted = text.find('.') != std::string_view::npos;
    const char separator = dotted ? '.' : '/';
    if (dotted && text.find('/') != std::string_view::npos) return std::nullopt;
    std::string name;
    bool part_start = true;
    std::size_t parts = 1;
    for (const char c : text) {
        if (c == separator) {
            if (part_start) return std::nullopt;
            part_start = true;
            ++parts;
            name += '/';
            continue;
        }
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$';
        if (!letter && !(c >= '0' && c <= '9' && !part_start)) return std::nullopt;
        part_start = false;
        name += c;
    }
    if (part_start || parts < 2) return std::nullopt;
    return name;
}

// What System.loadLibrary takes: a name that lib<name>.so can be made of.
bool is_library_name(std::string_view text) {
    if (text.empty() || text.size() > 200) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == '+' || c == '.';
    });
}

}  // namespace

JarReferences jar_references(const std::filesystem::path& jar) {
    constexpr std::string_view services = "META-INF/services/";
    std::set<std::string> by_text, by_code;
    std::set<MethodReference> methods;
    // The name a class passes is often a constant of another (Java 3D's inner class loads what its
    // outer class names): every string of a JAR that loads libraries anywhere is a candidate.
    std::set<std::string> libraries;
    bool loads_libraries_anywhere = false;
    const auto reader = open_jar(jar);
    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            throw PackError(fill(msg_not_a_jar, {jar.string(), archive_error_of(reader.get())}));
        const std::string_view name = archive_entry_pathname(entry) != nullptr ? archive_entry_pathname(entry) : "";
        if (name.starts_with(services) && name.size() > services.size()) {
            if (const auto type = as_internal_class_name(name.substr(services.size()))) by_text.insert(*type);
            continue;
        }
        if (!name.ends_with(".class")) continue;
        std::string bytes;
        char buffer[1 << 14];
        for (la_ssize_t got = 0; (got = archive_read_data(reader.get(), buffer, sizeof buffer)) != 0;) {
            if (got < 0) throw PackError(fill(msg_not_a_jar, {jar.string(), archive_error_of(reader.get())}));
            bytes.append(buffer, static_cast<std::size_t>(got));
        }
        auto references = class_file_references(bytes);
        const bool loads_libraries =
            std::any_of(references.methods.begin(), references.methods.end(), [](const MethodReference& method) {
                return method.name == "loadLibrary" &&
                       (method.owner == "java/lang/System" || method.owner == "java/lang/Runtime");
            });
        loads_libraries_anywhere = loads_libraries_anywhere || loads_libraries;
        for (const auto& text : references.strings)
            if (is_library_name(text)) libraries.insert(text);
        for (const auto& text : references.strings)
            if (const auto internal = as_internal_class_name(text)) by_text.insert(*internal);
        by_code.insert(std::make_move_iterator(references.classes.begin()),
                       std::make_move_iterator(references.classes.end()));
        methods.insert(std::make_move_iterator(references.methods.begin()),
                       std::make_move_iterator(references.methods.end()));
    }
    if (!loads_libraries_anywhere) libraries.clear();
    return {{by_text.begin(), by_text.end()},
            {by_code.begin(), by_code.end()},
            {methods.begin(), methods.end()},
            {libraries.begin(), libraries.end()}};
}

ManifestAttributes parse_manifest(std::string_view text) {
    ManifestAttributes attributes;
    std::string* last = nullptr;
    std::size_t at = 0;
    while (at < text.size()) {
        // Lines end in CR LF, LF or CR alone.
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        at = end;
        if (at < text.size() && text[at] == '\r') ++at;
        if (at < text.size() && text[at] == '\n') ++at;
        if (line.empty()) break;    // the main section ends at the first blank line
        if (line.front() == ' ') {  // a continuation: one space, then more of the value
            if (last != nullptr) last->append(line.substr(1));
            continue;
        }
        const auto colon = line.find(": ");
        if (colon == std::string_view::npos) {
            last = nullptr;
            continue;
        }
        auto [it, inserted] = attributes.emplace(std::string(line.substr(0, colon)),
                                                 std::string(line.substr(colon + 2)));
        last = inserted ? &it->second : nullptr;
    }
    return attributes;
}

std::optional<std::string> manifest_value(const ManifestAttributes& attributes, std::string_view name) {
    for (const auto& [key, value] : attributes)
        if (equals_ignoring_case(key, name)) return value;
    return std::nullopt;
}

namespace {

// An entry's %-escapes decoded.
std::string decoded_entry(const std::string& entry, std::string_view jar_name) {
    std::string path;
    for (std::size_t i = 0; i < entry.size(); ++i) {
        if (entry[i] != '%') {
            path += entry[i];
            continue;
        }
        const int high = i + 2 < entry.size() ? hex_digit(entry[i + 1]) : -1;
        const int low = i + 2 < entry.size() ? hex_digit(entry[i + 2]) : -1;
        if (high < 0 || low < 0) throw PackError(fill(msg_bad_escape, {jar_name, entry}));
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return path;
}

}  // namespace

ClassPathEntries class_path_entries(const ManifestAttributes& attributes, std::string_view jar_name) {
    ClassPathEntries entries;
    const auto value = manifest_value(attributes, "Class-Path");
    if (!value) return entries;
    for (const auto& entry : words(*value)) {
        // A file: URL names a file of this machine as a path from / does (file:/a, file:///a).
        std::string text = entry;
        if (has_scheme(entry)) {
            if (entry.size() < 6 || !equals_ignoring_case(std::string_view(entry).substr(0, 5), "file:") ||
                entry[5] != '/')
                throw PackError(fill(msg_remote_class_path, {jar_name, entry}));
            text = entry.substr(5);
            if (text.starts_with("///")) text.erase(0, 2);
        }
        const std::string path = decoded_entry(text, jar_name);
        if (path.starts_with('/')) {
            std::string absolute = std::filesystem::path(path).lexically_normal().string();
            while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
            entries.absolute.push_back(absolute);
            continue;
        }
        const auto normal = std::filesystem::path(path).lexically_normal();
        if (normal.empty() || *normal.begin() == "..")
            throw PackError(fill(msg_climbing_class_path, {jar_name, entry}));
        // A directory entry ends in '/'; it is kept as the directory's path.
        std::string relative = normal.string();
        while (relative.size() > 1 && relative.back() == '/') relative.pop_back();
        if (relative == ".") throw PackError(fill(msg_climbing_class_path, {jar_name, entry}));
        entries.relative.push_back(relative);
    }
    return entries;
}

ManifestLaunch manifest_launch(const ManifestAttributes& attributes, std::string_view jar_name) {
    ManifestLaunch launch;
    if (auto main = manifest_value(attributes, "Main-Class")) {
        const auto parts = words(*main);
        if (!parts.empty()) launch.main_class = parts.front();
    }
    for (const auto& [attribute, option] : {std::pair<std::string_view, std::string_view>{"Add-Opens", "--add-opens="},
                                            {"Add-Exports", "--add-exports="}}) {
        const auto value = manifest_value(attributes, attribute);
        if (!value) continue;
        for (const auto& item : words(*value)) {
            const auto slash = item.find('/');
            if (slash == 0 || slash == std::string::npos || slash + 1 == item.size() ||
                item.find('/', slash + 1) != std::string::npos)
                throw PackError(fill(msg_bad_opens, {attribute, jar_name, item}));
            launch.jvm_options.push_back(std::string(option) + item + "=ALL-UNNAMED");
            const std::string module = item.substr(0, slash);
            if (std::find(launch.modules.begin(), launch.modules.end(), module) == launch.modules.end())
                launch.modules.push_back(module);
        }
    }
    if (const auto value = manifest_value(attributes, "Enable-Native-Access")) {
        const auto parts = words(*value);
        if (parts.size() != 1 || parts.front() != "ALL-UNNAMED")
            throw PackError(fill(msg_bad_native_access, {jar_name, *value}));
        launch.jvm_options.emplace_back("--enable-native-access=ALL-UNNAMED");
    }
    auto entries = class_path_entries(attributes, jar_name);
    launch.class_path = std::move(entries.relative);
    launch.absolute_class_path = std::move(entries.absolute);
    return launch;
}

std::vector<std::string> grants_the_runtime_lacks(std::span<const std::string> manifest_options,
                                                  std::string_view java_output) {
    std::set<std::string> unknown_modules;                  // M
    std::set<std::pair<std::string, std::string>> unknown;  // (M, P)
    for (const auto& line : lines_of(java_output)) {
        constexpr std::string_view module_prefix = "WARNING: Unknown module: ";
        constexpr std::string_view package_prefix = "WARNING: package ";
        if (line.starts_with(module_prefix)) {
            const std::string_view rest = std::string_view(line).substr(module_prefix.size());
            unknown_modules.emplace(rest.substr(0, rest.find(' ')));
        } else if (line.starts_with(package_prefix)) {
            const std::string_view rest = std::string_view(line).substr(package_prefix.size());
            const auto in = rest.find(" not in ");
            if (in != std::string_view::npos) unknown.emplace(rest.substr(in + 8), rest.substr(0, in));
        }
    }
    std::vector<std::string> lacking;
    for (const auto& option : manifest_options) {
        const auto equals = option.find('=');
        const auto slash = option.find('/', equals);
        const auto second = option.find('=', equals + 1);
        if (equals == std::string::npos || slash == std::string::npos || second == std::string::npos) continue;
        const std::string module = option.substr(equals + 1, slash - equals - 1);
        const std::string package = option.substr(slash + 1, second - slash - 1);
        if (unknown_modules.contains(module) || unknown.contains({module, package})) lacking.push_back(option);
    }
    return lacking;
}

}  // namespace kestrova::pack
