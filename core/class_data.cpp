#include "core/class_data.h"

#include <algorithm>
#include <charconv>

namespace kestrova::class_data {

namespace {

bool starts_with_any(std::string_view option, std::initializer_list<std::string_view> prefixes) {
    for (auto prefix : prefixes)
        if (option.starts_with(prefix)) return true;
    return false;
}

constexpr std::string_view class_path_option = "-Djava.class.path=";
constexpr std::string_view command_option = "-Dsun.java.command=";
constexpr std::string_view archive_suffix = ".jsa";

}  // namespace

bool variable_turns_off(std::optional<std::string_view> variable) {
    return variable && !variable->empty() && *variable != "0";
}

bool wanted(bool console, std::optional<std::string_view> info_value, std::optional<std::string_view> variable) {
    if (variable_turns_off(variable)) return false;
    if (info_value == "NO") return false;
    if (info_value == "YES") return true;
    return !console;
}

bool options_decide_sharing(std::span<const std::string> jvm_options) {
    for (const auto& option : jvm_options) {
        if (starts_with_any(option, {"-Xshare:", "-XX:SharedArchiveFile=", "-XX:ArchiveClassesAtExit=",
                                     "-XX:DumpLoadedClassList=", "-XX:SharedClassListFile=", "-XX:+UseSharedSpaces",
                                     "-XX:-UseSharedSpaces", "-javaagent:", "-agentlib:", "-agentpath:",
                                     "--patch-module", "--upgrade-module-path", "--limit-modules"}))
            return true;
    }
    return false;
}

std::vector<std::string> class_path(std::span<const std::string> jvm_options) {
    std::string_view value;
    for (const auto& option : jvm_options)
        if (option.starts_with(class_path_option)) value = std::string_view(option).substr(class_path_option.size());
    std::vector<std::string> entries;
    while (!value.empty()) {
        const auto colon = value.find(':');
        if (colon != 0) entries.emplace_back(value.substr(0, colon));
        if (colon == std::string_view::npos) break;
        value.remove_prefix(colon + 1);
    }
    return entries;
}

std::vector<std::string> keyed_options(std::span<const std::string> jvm_options) {
    std::vector<std::string> kept;
    for (const auto& option : jvm_options)
        if (!option.starts_with(command_option)) kept.push_back(option);
    return kept;
}

std::string key_of(std::span<const std::string> facts) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    const auto mix = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    };
    for (const auto& fact : facts) {
        for (char c : fact) mix(static_cast<unsigned char>(c));
        mix(0);  // so that {"ab", "c"} and {"a", "bc"} differ
    }
    char text[17];
    constexpr char digits[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, hash >>= 4) text[i] = digits[hash & 0xf];
    return std::string(text, 16);
}

std::string archive_name(std::string_view key, std::uint64_t size) {
    return std::string(key) + "-" + std::to_string(size) + std::string(archive_suffix);
}

std::optional<std::uint64_t> archive_size(std::string_view name, std::string_view key) {
    if (!name.starts_with(key) || !name.ends_with(archive_suffix) || name.size() <= key.size() + 1 ||
        name[key.size()] != '-')
        return std::nullopt;
    const std::string_view digits = name.substr(key.size() + 1, name.size() - key.size() - 1 - archive_suffix.size());
    std::uint64_t size = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
    if (error != std::errc{} || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    return size;
}

std::string class_list_name(std::string_view key, long pid) {
    return std::string(key) + "." + std::to_string(pid) + ".classlist";
}

std::string failed_name(std::string_view key) { return std::string(key) + ".failed"; }

std::string checked_files_name(std::string_view key) { return std::string(key) + ".paths"; }

std::string sample_name(std::string_view key) { return std::string(key) + ".sample"; }

bool list_outgrows(std::uint64_t archived, std::uint64_t sampled) {
    // Half as many classes again: a start that opens a window loads two to three times what its
    // --version loads, while starts of one kind differ by a few percent.
    return sampled > archived + archived / 2;
}

bool belongs_to(std::string_view name, std::string_view key) {
    return name.size() > key.size() && name.starts_with(key) && (name[key.size()] == '-' || name[key.size()] == '.');
}

bool header_is_static_archive(std::span<const unsigned char> first_bytes) {
    if (first_bytes.size() < 4) return false;
    const std::uint32_t magic = first_bytes[0] | (first_bytes[1] << 8) | (first_bytes[2] << 16) |
                                (static_cast<std::uint32_t>(first_bytes[3]) << 24);
    return magic == static_archive_magic;
}

Step choose_step(bool wanted, bool options_decide, bool directory_usable, bool archive_found, bool dump_failed) {
    if (!wanted || options_decide || !directory_usable) return Step::nothing;
    if (archive_found) return Step::use_archive;
    return dump_failed ? Step::nothing : Step::record_classes;
}

std::vector<std::string> start_options(Step step, std::string_view path) {
    switch (step) {
        case Step::use_archive:
            return {"-XX:SharedArchiveFile=" + std::string(path), "-Xshare:auto", "-Xlog:cds*=off",
                    "-Xlog:class+path=off"};
        case Step::record_classes:
            return {"-XX:DumpLoadedClassList=" + std::string(path)};
        case Step::nothing:
            break;
    }
    return {};
}

std::vector<std::string> dump_options(std::string_view class_list, std::string_view archive) {
    // The log goes to a file of its own, undecorated, after the line that silences standard output;
    // quoted, as a path with ':' must be.
    return {"-Xshare:dump",
            "-XX:SharedClassListFile=" + std::string(class_list),
            "-XX:SharedArchiveFile=" + std::string(archive),
            "-Xlog:cds*=off",
            "-Xlog:class+path=off",
            "-Xlog:class+path=info:file=\"" + dump_log_of(archive) + "\":none"};
}

std::string dump_log_of(std::string_view archive) { return std::string(archive) + ".log"; }

std::vector<std::string> checked_files(std::string_view dump_log) {
    // HotSpot's own lines as JDK 17 writes them: the shared path table's application entries, and
    // the Class-Path entries it found missing and checks stay missing.
    constexpr std::string_view recorded[] = {"add app shared path (jar) ", "add app shared path (dir) ",
                                             "non-existent Class-Path entry "};
    std::vector<std::string> paths;
    while (!dump_log.empty()) {
        const auto end = dump_log.find('\n');
        const std::string_view line = dump_log.substr(0, end);
        dump_log.remove_prefix(end == std::string_view::npos ? dump_log.size() : end + 1);
        for (const auto prefix : recorded) {
            if (!line.starts_with(prefix) || line.size() == prefix.size()) continue;
            std::string path(line.substr(prefix.size()));
            if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(std::move(path));
        }
    }
    return paths;
}

std::optional<std::string> checked_files_record(std::span<const std::string> paths, FactsOf facts_of) {
    std::string record;
    for (const auto& path : paths) {
        if (path.empty() || path.find('\n') != std::string::npos) return std::nullopt;
        const std::string facts = facts_of(path);
        if (facts.find_first_of("\t\n") != std::string::npos) return std::nullopt;
        record.append(facts).append("\t").append(path).append("\n");
    }
    return record;
}

bool checked_files_unchanged(std::string_view record, FactsOf facts_of) {
    while (!record.empty()) {
        const auto end = record.find('\n');
        if (end == std::string_view::npos) return false;  // cut short
        const std::string_view line = record.substr(0, end);
        record.remove_prefix(end + 1);
        const auto tab = line.find('\t');
        if (tab == std::string_view::npos || tab + 1 == line.size()) return false;
        if (facts_of(std::string(line.substr(tab + 1))) != line.substr(0, tab)) return false;
    }
    return true;
}

}  // namespace kestrova::class_data
