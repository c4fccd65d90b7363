// Ed25519 signatures as the update framework uses them: SUPublicEDKey is base64 of a 32-byte public
// key, an enclosure's sparkle:edSignature base64 of the 64-byte signature of the archive's bytes.
// Standard (pure) Ed25519 from OpenSSL's EVP interface; nothing of the curve is computed here.
// libcrypto is opened the first time any of this is used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX, kept out of this header

namespace kestrova::protocol::ed25519 {

using Seed = std::array<std::uint8_t, 32>;  // the private key (RFC 8032's 32-byte secret)
using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

// OpenSSL refused an operation that cannot fail on valid input (no memory, a broken library).
class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// OpenSSL's libcrypto is loaded on first use (see ed25519.cpp); every function below throws this
// when it cannot be.
class LibraryMissing : public CryptoError {
public:
    using CryptoError::CryptoError;
};

// Standard base64 (RFC 4648, with padding, no line breaks).
std::string encode_base64(std::span<const std::uint8_t> bytes);

// The bytes of standard padded base64; nothing for anything else: a wrong length, a character
// outside the alphabet (white space included), padding anywhere but at the end.
std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text);

// A 32-byte public key from its base64 text (SUPublicEDKey); nothing when it is not exactly that.
std::optional<PublicKey> public_key_from_base64(std::string_view text);

// A 64-byte signature from its base64 text (sparkle:edSignature); nothing when it is not exactly that.
std::optional<Signature> signature_from_base64(std::string_view text);

// A fresh private key from OpenSSL's random generator. Throws CryptoError.
Seed generate_seed();

// The public half of a private key. Throws CryptoError.
PublicKey public_key_of(const Seed& seed);

// The signature of `message`. Throws CryptoError.
Signature sign(const Seed& seed, std::span<const std::uint8_t> message);

// Whether `signature` is a valid signature of `message` by `key` (false for a key that is not a
// point of the curve, too).
bool verify(const PublicKey& key, std::span<const std::uint8_t> message, const Signature& signature);

// A regular file mapped read-only. Pure Ed25519 hashes the whole message twice (once to make the
// nonce, once for the challenge) and OpenSSL takes it only in one piece, so an archive cannot be
// fed in chunks; mapped, its pages come from the page cache as the hash reaches them and can be
// dropped again by the kernel, so a large archive never needs that much heap.
class MappedFile {
public:
    // Throws std::system_error naming what failed (open, not a regular file, mmap).
    explicit MappedFile(const std::filesystem::path& path);
    // Maps the regular file open at `fd`, which stays the caller's (and open). Throws as above.
    explicit MappedFile(int fd);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

private:
    void map(int fd, const std::string& name);

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// SHA-256 of bytes given piece by piece, from the same libcrypto. Throws LibraryMissing, CryptoError.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view text) { update({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}); }
    // The digest in lower-case hexadecimal (64 characters); nothing more may be added after it.
    std::string hex();

private:
    evp_md_ctx_st* context_;
};

}  // namespace kestrova::protocol::ed25519
