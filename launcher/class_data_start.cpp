#include "launcher/class_data_start.h"

#include <unistd.h>

#include <cstdlib>

#include "core/class_data.h"
#include "kestrova/bundle_layout.h"
#include "kestrova/info_plist_keys.h"
#include "platform/bundle_info.h"
#include "platform/class_data_cache.h"

namespace kestrova {

namespace {

// The Info.plist key's value, without loading the property list reader for a bundle that lacks it.
std::optional<std::string> info_value() {
    namespace platform = kestrova::platform;
    const std::string_view key = kestrova::info_keys::class_data;
    if (!platform::info_dictionary_may_hold(key)) return std::nullopt;
    return platform::info_dictionary_string(key);
}

}  // namespace

std::vector<std::string> class_data_start_options(std::span<const std::string> jvm_options, bool console,
                                                  const std::string& executable) {
    namespace cd = kestrova::class_data;
    namespace platform = kestrova::platform;
    const char* variable = std::getenv(std::string(cd::off_variable).c_str());
    const std::optional<std::string_view> off = variable != nullptr ? std::optional<std::string_view>(variable)
                                                                    : std::nullopt;
    if (cd::variable_turns_off(off) || cd::options_decide_sharing(jvm_options)) return {};
    // Console bundles keep none unless Info.plist says so; for the others Info.plist is read only
    // when no archive is found: one exists only because a start with this very Info.plist (its
    // facts are in the key) recorded it.
    if (console && !cd::wanted(console, info_value(), off)) return {};

    // Whatever the archive depends on: the bundle's location, its launcher, version and JARs, the
    // runtime, the options, this user on this machine. Any change makes another key. The JARs that
    // the manifests' Class-Path reach are known only once a dump has run; the slot checks them.
    const std::string contents = platform::bundle_contents_directory();
    const std::string home = (std::filesystem::path(contents) / kestrova::bundle_layout::runtime_home).string();
    const std::string who = platform::user_and_machine();
    std::vector<std::string> facts = {
        who,
        contents,
        platform::file_facts(executable),
        platform::file_facts((std::filesystem::path(contents) / kestrova::bundle_layout::info_plist).string()),
        platform::file_facts(home + "/lib/server/libjvm.so"),
        platform::file_facts(home + "/lib/modules")};
    for (const auto& entry : cd::class_path(jvm_options)) {
        facts.push_back(entry);
        facts.push_back(platform::file_facts(entry));
    }
    for (const auto& option : cd::keyed_options(jvm_options)) facts.push_back(option);
    const std::string key = cd::key_of(facts);
    // One slot per command of the bundle: each launcher has a record, and so an archive, of its own.
    const std::string slot_facts[] = {who, contents, executable};
    const std::string slot = cd::key_of(slot_facts);
    auto directory = platform::class_data_directory(slot, false);

    std::string archive;
    bool failed = false;
    bool sample = false;
    if (directory) {
        auto found = platform::examine_class_data_slot(*directory, key);
        archive = std::move(found.archive).value_or("");
        failed = found.dump_failed;
        sample = found.sample_pending;
    }
    const bool wanted = !archive.empty() || console || cd::wanted(console, info_value(), off);
    // Made only for a start that records a list.
    if (wanted && archive.empty() && !directory) directory = platform::class_data_directory(slot, true);
    const auto step = cd::choose_step(wanted, false, directory.has_value(), !archive.empty(), failed);
    std::vector<std::string> options;
    if (step == cd::Step::use_archive) {
        options = cd::start_options(step, archive);
        // The first start after the archive was made also records what it loads, so that an archive
        // made from a start that loaded little (a --version) is made again from this one.
        const std::string list = cd::class_list_name(key, static_cast<long>(getpid()));
        if (!sample || !platform::create_private_file(*directory + "/" + list)) return options;
        platform::start_class_data_helper_at_end({static_cast<long>(getpid()), *directory, key, list, contents});
        for (auto& option : cd::start_options(cd::Step::record_classes, *directory + "/" + list))
            options.push_back(std::move(option));
    } else if (step == cd::Step::record_classes) {
        const std::string list = cd::class_list_name(key, static_cast<long>(getpid()));
        // The list is made here, where a failure is quiet, so that the JVM is never asked to write
        // where it cannot.
        if (!platform::create_private_file(*directory + "/" + list)) return options;
        platform::start_class_data_helper_at_end({static_cast<long>(getpid()), *directory, key, list, contents});
        options = cd::start_options(step, *directory + "/" + list);
    }
    return options;
}

}  // namespace kestrova
