// Signed feed files as a client judges them: one case per way a site or the network can lie, and the
// bundle without the requirement, which reads every file as it always has.
#include "protocol/signed_feed.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace kestrova::protocol {
namespace {

namespace ed = ed25519;

constexpr std::int64_t signed_at = 1'800'000'000;
constexpr std::int64_t day = 86400;
constexpr std::string_view identifier = "org.example.App";
constexpr std::string_view body = "app.version=2.0\napp.revision=1\n";

enum class Signer { release_key, another_key, nobody };

struct SignedCase {
    const char* name;
    Signer signer;
    bool tampered;        // a byte of the signed body changed after signing
    bool required;        // KestrovaRequireSignedFeed
    FeedState seen;       // what this user accepted before
    std::int64_t now;     // the clock
    std::string refusal;  // empty: accepted
};

std::ostream& operator<<(std::ostream& os, const SignedCase& c) { return os << c.name; }

class SignedFeedFiles : public ::testing::TestWithParam<SignedCase> {
protected:
    static const ed::Seed& key(Signer signer) {
        static const ed::Seed release = ed::generate_seed(), another = ed::generate_seed();
        return signer == Signer::another_key ? another : release;
    }
};

TEST_P(SignedFeedFiles, AreAcceptedOnlyWhenSignedFreshAndNoOlderThanWhatWasSeen) {
    const SignedCase& c = GetParam();
    const FeedStamp stamp{10, signed_at, signed_at + 10 * day, std::string(identifier)};
    std::string text(body);
    if (c.signer != Signer::nobody) text = sign_feed_file(body, FeedFile::metadata, stamp, {&key(c.signer), 1});
    if (c.tampered) text[text.find("2.0")] = '9';
    const FeedPolicy policy{c.required, ed::public_key_of(key(Signer::release_key)), std::string(identifier)};

    const FeedCheck check = check_feed_file(text, FeedFile::metadata, policy, c.seen, c.now);
    if (c.refusal.empty()) {
        EXPECT_TRUE(check.accepted) << check.refusal;
        // Only what was signed is read, and without the requirement the file is read as it stands.
        EXPECT_EQ(check.body, c.required ? body : std::string_view(text));
    } else {
        EXPECT_FALSE(check.accepted);
        EXPECT_NE(check.refusal.find(c.refusal), std::string::npos) << check.refusal;
    }
}

constexpr std::int64_t fresh = signed_at + day;
constexpr const char* not_the_key = "not one of this application's release key";

INSTANTIATE_TEST_SUITE_P(
    Cases, SignedFeedFiles,
    ::testing::Values(
        SignedCase{"Good", Signer::release_key, false, true, {}, fresh, ""},
        SignedCase{"BadSignature", Signer::release_key, true, true, {}, fresh, not_the_key},
        SignedCase{"AnotherKey", Signer::another_key, false, true, {}, fresh, not_the_key},
        SignedCase{
            "SerialLower", Signer::release_key, false, true, {{}, {11, signed_at}}, fresh, "serial 10, accepted 11"},
        SignedCase{"SerialEqual", Signer::release_key, false, true, {{}, {10, signed_at}}, fresh, ""},
        SignedCase{"Expired",
                   Signer::release_key,
                   false,
                   true,
                   {},
                   signed_at + 11 * day,
                   "not been refreshed since 2027-01-15T08:00:00Z"},
        // The clock says a year ago, but the appcast accepted last was signed after this file expired.
        SignedCase{"ClockRewound",
                   Signer::release_key,
                   false,
                   true,
                   {{12, signed_at + 20 * day}, {}},
                   signed_at - 365 * day,
                   "not been refreshed since"},
        SignedCase{"MissingWhereRequired", Signer::nobody, false, true, {}, fresh, "carries no signature"},
        SignedCase{
            "MissingWhereNotRequired", Signer::nobody, false, false, {{99, signed_at + 99 * day}, {}}, fresh, ""}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

// A feed signed for one application is no feed of another signed with the same key.
TEST(SignedFeedFile, SignedForAnotherApplicationIsRefused) {
    const ed::Seed key = ed::generate_seed();
    const FeedStamp stamp{1, signed_at, std::nullopt, "org.example.Other--App"};
    const std::string text = sign_feed_file("<rss/>", FeedFile::appcast, stamp, {&key, 1});
    const FeedCheck check = check_feed_file(text, FeedFile::appcast,
                                            {true, ed::public_key_of(key), std::string(identifier)}, {}, fresh);
    EXPECT_NE(check.refusal.find("another application (org.example.Other--App)"), std::string::npos) << check.refusal;
    // The line is an XML comment, which may not hold "--".
    EXPECT_EQ(text.substr(text.find("<!--") + 4).find("--"), text.substr(text.find("<!--") + 4).rfind("--"));
}

}  // namespace
}  // namespace kestrova::protocol
