// Feeds arbitrary bytes to everything that reads what an update site sends: the gate's metadata
// parser, the feed-to-metadata address derivation, the appcast parser, the version ordering, and the
// signature lines of signed feed files with the checks a client makes of them.
// A hostile site may send anything; none of it may crash, read out of bounds, or break the
// invariants checked here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/appcast.h"
#include "protocol/metadata.h"
#include "protocol/release_notes.h"
#include "protocol/rollout.h"
#include "protocol/signed_feed.h"
#include "protocol/version_comparator.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // A heap copy of exactly `size` bytes, so any read past the end is caught.
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const std::string_view text(input);

    // The metadata file. Every key of an entry came from a line holding "=", so none holds a
    // line break; a missing text gives nothing.
    const kestrova::protocol::Metadata metadata = kestrova::protocol::parse_metadata(text);
    for (const auto& [key, value] : metadata) {
        check(key.find('\n') == std::string::npos && key.find('=') == std::string::npos);
        check(value.find('\n') == std::string::npos);
        check(value.find('=') == std::string::npos);
    }
    check(kestrova::protocol::parse_metadata(std::nullopt).empty());
    if (const auto version = kestrova::protocol::metadata_version(metadata)) {
        check(version->size() ==
              metadata.find("app.version")->second.size() + 1 + metadata.find("app.revision")->second.size());
    }

    // The metadata address: the feed address up to its last "/", then the file name.
    if (const auto url = kestrova::protocol::metadata_url_for_feed(text)) {
        const std::size_t slash = text.rfind('/');
        check(slash != std::string_view::npos);
        check(*url == std::string(text.substr(0, slash)) + "/metadata.properties");
    } else {
        check(text.find('/') == std::string_view::npos);
    }

    // The feed. Only AppcastError may come out; an accepted feed's best item is one of its own and
    // every item has a version.
    try {
        const auto appcast = kestrova::protocol::parse_appcast(text);
        for (const auto& item : appcast.items) check(!item.version.empty());
        // The ordering is not transitive on odd input, so only what the scan itself decided can be
        // checked: no eligible item after the best one is newer than it.
        if (const auto* best = kestrova::protocol::best_item(appcast)) {
            check(best >= appcast.items.data() && best < appcast.items.data() + appcast.items.size());
            check(!best->channel && (!best->os || *best->os == "linux"));
            for (const auto* item = best + 1; item < appcast.items.data() + appcast.items.size(); ++item) {
                if (item->channel || (item->os && *item->os != "linux")) continue;
                check(kestrova::protocol::compare_versions(best->version, item->version) !=
                      kestrova::protocol::Ordering::ascending);
            }
        }
        // Whoever asks, the picker offers only what its audience may have: its system, the
        // channels it follows, and for a rollout group only what is due.
        kestrova::protocol::ItemAudience audience;
        audience.channels = {"beta"};
        audience.rollout_group = static_cast<int>(size % kestrova::protocol::rollout_groups);
        audience.now = 1'800'000'000;
        audience.installed_version = "1.0";
        const auto choice = kestrova::protocol::choose_from_appcast(text, audience);
        if (choice.best) {
            check(!choice.best->channel || *choice.best->channel == "beta");
            check(kestrova::protocol::is_offered(*choice.best, audience));
        }
        for (const auto& item : appcast.items) {
            if (item.phased_rollout_interval) check(*item.phased_rollout_interval > 0);
            if (item.description) (void)kestrova::protocol::release_notes_text(*item.description);
        }
    } catch (const kestrova::protocol::AppcastError&) {
        // Refused, as a malformed or hostile feed must be.
    }

    // Release notes from a hostile page: plain text within its bound, valid UTF-8, no tag left of
    // an HTML page but what its entities spelled.
    if (const auto notes = kestrova::protocol::release_notes_text(text, 512)) {
        check(notes->size() <= 512 && !notes->empty());
        for (const char c : *notes) check(c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20);
    }
    // The rollout fields of metadata and a pubDate: a date read back is a real one.
    (void)kestrova::protocol::metadata_rollout(text);
    if (const auto date = kestrova::protocol::parse_rfc822_date(text)) check(*date > -100'000'000'000);
    for (const auto& channel : kestrova::protocol::parse_channel_list(text)) check(!channel.empty());

    // Signed forms. A signature line read from the input lies within it, after the body; no input
    // passes for a file signed with a key the fuzzer does not hold; and whatever the input, signing it
    // as a body gives a file that is read back whole, to the byte.
    namespace protocol = kestrova::protocol;
    const protocol::ed25519::Seed key{};  // all zero: a valid private key, the same in every run
    const protocol::FeedPolicy policy{true, protocol::ed25519::public_key_of(key), "org.example.Fuzz"};
    for (const auto file : {protocol::FeedFile::appcast, protocol::FeedFile::metadata}) {
        if (const auto signed_file = protocol::read_signed_feed_file(text, file)) {
            check(text.starts_with(signed_file->message) && signed_file->message.starts_with(signed_file->body));
            check(!signed_file->signatures.empty() && signed_file->signatures.size() <= 4);
        }
        check(!protocol::check_feed_file(text, file, policy, {}, 0).accepted);
        const auto open = protocol::check_feed_file(text, file, {}, {}, 0);
        check(open.accepted && open.body == text);

        const protocol::FeedStamp stamp{size, 1'800'000'000, std::nullopt, "id" + std::string(text.substr(0, 16))};
        const std::string signed_text = protocol::sign_feed_file(text, file, stamp, {&key, 1});
        const auto read_back = protocol::read_signed_feed_file(signed_text, file);
        check(read_back && read_back->stamp.serial == size && read_back->stamp.identifier == stamp.identifier);
        check(read_back->body.substr(0, text.size()) == text && protocol::is_signed_by(*read_back, policy.key.value()));
    }
    if (const auto time = protocol::parse_utc(text)) check(protocol::format_utc(*time) == text);

    // The version ordering on two halves of the input: every string equals itself.
    const std::string_view a = text.substr(0, size / 2);
    const std::string_view b = text.substr(size / 2);
    check(kestrova::protocol::compare_versions(a, a) == kestrova::protocol::Ordering::same);
    (void)kestrova::protocol::compare_versions(a, b);
    return 0;
}
