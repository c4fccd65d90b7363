// Ed25519 as the updater uses it: OpenSSL's signatures checked against RFC 8032's test vectors,
// and the strict base64 of keys and signatures.
#include "protocol/ed25519.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrova::protocol::ed25519 {
namespace {

std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed_hex(std::string_view hex) {
    const auto bytes = from_hex(hex);
    std::array<std::uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

struct Vector {
    const char* name;
    const char* secret;
    const char* public_key;
    const char* message;
    const char* signature;
};

// RFC 8032, section 7.1.
const Vector rfc8032[] = {
    {"TEST 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"TEST 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"TEST 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
    {"TEST SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
     "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
     "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
};

TEST(Ed25519, SignsAndVerifiesTheRfc8032Vectors) {
    for (const auto& v : rfc8032) {
        SCOPED_TRACE(v.name);
        const auto seed = fixed_hex<32>(v.secret);
        const auto key = fixed_hex<32>(v.public_key);
        const auto message = from_hex(v.message);
        const auto expected = fixed_hex<64>(v.signature);
        EXPECT_EQ(public_key_of(seed), key);
        EXPECT_EQ(sign(seed, message), expected);
        EXPECT_TRUE(verify(key, message, expected));
    }
}

TEST(Ed25519, RefusesAnyChangeToMessageSignatureOrKey) {
    for (const auto& v : rfc8032) {
        SCOPED_TRACE(v.name);
        const auto key = fixed_hex<32>(v.public_key);
        const auto message = from_hex(v.message);
        const auto signature = fixed_hex<64>(v.signature);

        auto longer = message;
        longer.push_back(0);
        EXPECT_FALSE(verify(key, longer, signature));
        if (!message.empty()) {
            auto changed = message;
            changed.back() ^= 1;
            EXPECT_FALSE(verify(key, changed, signature));
        }
        for (const std::size_t at : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
            auto bad = signature;
            bad[at] ^= 0x40;
            EXPECT_FALSE(verify(key, message, bad)) << "signature byte " << at;
        }
        auto other_key = key;
        other_key[0] ^= 1;
        EXPECT_FALSE(verify(other_key, message, signature));
    }
}

TEST(Ed25519, GeneratedKeysSignWhatTheirPublicHalfVerifies) {
    const Seed a = generate_seed(), b = generate_seed();
    EXPECT_NE(a, b);
    const std::vector<std::uint8_t> message{1, 2, 3};
    EXPECT_TRUE(verify(public_key_of(a), message, sign(a, message)));
    EXPECT_FALSE(verify(public_key_of(b), message, sign(a, message)));
}

TEST(Base64, DecodesOnlyStrictPaddedText) {
    struct Case {
        std::string_view text;
        std::optional<std::string> bytes;
    };
    const Case cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYmFy", "foobar"},
        {"Zm9", std::nullopt},     // length not a multiple of 4
        {"Zg", std::nullopt},      // padding left out
        {"Zm9v\n", std::nullopt},  // a line end
        {" Zm9v", std::nullopt},   // white space
        {"Zg=a", std::nullopt},    // padding inside
        {"Z===", std::nullopt},    // too much padding
        {"Zm-v", std::nullopt},    // URL-safe alphabet
        {"Zm9v====", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        const auto decoded = decode_base64(c.text);
        ASSERT_EQ(decoded.has_value(), c.bytes.has_value());
        if (decoded) {
            EXPECT_EQ(std::string(decoded->begin(), decoded->end()), *c.bytes);
            const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(c.bytes->data()),
                                                      c.bytes->size());
            EXPECT_EQ(encode_base64(bytes), c.text);
        }
    }
}

TEST(Base64, KeysAndSignaturesMustHaveTheirExactSize) {
    const auto key = fixed_hex<32>(rfc8032[0].public_key);
    const std::string text = encode_base64(key);
    EXPECT_EQ(public_key_from_base64(text), key);
    EXPECT_FALSE(public_key_from_base64(encode_base64(std::vector<std::uint8_t>(31))));
    EXPECT_FALSE(public_key_from_base64(encode_base64(std::vector<std::uint8_t>(33))));
    EXPECT_FALSE(public_key_from_base64(text + "\n"));
    EXPECT_TRUE(signature_from_base64(encode_base64(std::vector<std::uint8_t>(64))));
    EXPECT_FALSE(signature_from_base64(encode_base64(std::vector<std::uint8_t>(63))));
    EXPECT_FALSE(signature_from_base64(text));
}

}  // namespace
}  // namespace kestrova::protocol::ed25519
