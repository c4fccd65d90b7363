#include "core/class_data.h"

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
    return {"-Xshare:dump", "-XX:SharedClassListFile=" + std::string(class_list),
            "-XX:SharedArchiveFile=" + std::string(archive), "-Xlog:cds*=off", "-Xlog:class+path=off"};
}

}  // namespace kestrova::class_data
