#include "protocol/ed25519.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "platform/shared_library.h"

namespace kestrova::protocol::ed25519 {

namespace {

// libcrypto is loaded on first use: the update framework lives in every launch that carries it,
// and only an install needs signatures, so no launch pays for loading OpenSSL before then. Only the
// header's types are used here; every call goes through these pointers.
struct Libcrypto {
    decltype(&::EVP_EncodeBlock) encode_block;
    decltype(&::EVP_DecodeBlock) decode_block;
    decltype(&::EVP_PKEY_new_raw_private_key) new_raw_private_key;
    decltype(&::EVP_PKEY_new_raw_public_key) new_raw_public_key;
    decltype(&::EVP_PKEY_get_raw_private_key) get_raw_private_key;
    decltype(&::EVP_PKEY_get_raw_public_key) get_raw_public_key;
    decltype(&::EVP_PKEY_Q_keygen) q_keygen;
    decltype(&::EVP_PKEY_free) pkey_free;
    decltype(&::EVP_MD_CTX_new) md_ctx_new;
    decltype(&::EVP_MD_CTX_free) md_ctx_free;
    decltype(&::EVP_DigestSignInit) digest_sign_init;
    decltype(&::EVP_DigestSign) digest_sign;
    decltype(&::EVP_DigestVerifyInit) digest_verify_init;
    decltype(&::EVP_DigestVerify) digest_verify;
    decltype(&::EVP_sha256) sha256;
    decltype(&::EVP_DigestInit_ex) digest_init;
    decltype(&::EVP_DigestUpdate) digest_update;
    decltype(&::EVP_DigestFinal_ex) digest_final;
};

bool fill(const platform::SharedLibrary& l, Libcrypto& c) {
    return l.resolve("EVP_EncodeBlock", c.encode_block) && l.resolve("EVP_DecodeBlock", c.decode_block) &&
           l.resolve("EVP_PKEY_new_raw_private_key", c.new_raw_private_key) &&
           l.resolve("EVP_PKEY_new_raw_public_key", c.new_raw_public_key) &&
           l.resolve("EVP_PKEY_get_raw_private_key", c.get_raw_private_key) &&
           l.resolve("EVP_PKEY_get_raw_public_key", c.get_raw_public_key) &&
           l.resolve("EVP_PKEY_Q_keygen", c.q_keygen) && l.resolve("EVP_PKEY_free", c.pkey_free) &&
           l.resolve("EVP_MD_CTX_new", c.md_ctx_new) && l.resolve("EVP_MD_CTX_free", c.md_ctx_free) &&
           l.resolve("EVP_DigestSignInit", c.digest_sign_init) && l.resolve("EVP_DigestSign", c.digest_sign) &&
           l.resolve("EVP_DigestVerifyInit", c.digest_verify_init) && l.resolve("EVP_DigestVerify", c.digest_verify) &&
           l.resolve("EVP_sha256", c.sha256) && l.resolve("EVP_DigestInit_ex", c.digest_init) &&
           l.resolve("EVP_DigestUpdate", c.digest_update) && l.resolve("EVP_DigestFinal_ex", c.digest_final);
}

// OpenSSL keeps state of its own for the life of the process, which the library's staying loaded suits.
constinit platform::LazyLibrary<Libcrypto> libcrypto(platform::LoadableLibrary::crypto, fill);

const Libcrypto& crypto() {
    const Libcrypto* api = libcrypto.get();
    if (api == nullptr)
        throw LibraryMissing(std::string(platform::library_file(platform::LoadableLibrary::crypto).description) +
                             " cannot be loaded");
    return *api;
}

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { crypto().pkey_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { crypto().md_ctx_free(context); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

constexpr std::string_view base64_alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

Pkey private_key(const Seed& seed) {
    Pkey key(crypto().new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    if (!key) throw CryptoError("OpenSSL cannot make an Ed25519 private key");
    return key;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> fixed_from_base64(std::string_view text) {
    const auto bytes = decode_base64(text);
    if (!bytes || bytes->size() != N) return std::nullopt;
    std::array<std::uint8_t, N> out{};
    std::copy(bytes->begin(), bytes->end(), out.begin());
    return out;
}

}  // namespace

std::string encode_base64(std::span<const std::uint8_t> bytes) {
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int written = crypto().encode_block(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                              static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::optional<std::vector<std::uint8_t>> decode_base64(std::string_view text) {
    // EVP_DecodeBlock skips white space and counts padding as zero bytes, so the text is checked
    // here and the padding taken off afterwards.
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    for (std::size_t i = 0; i + padding < text.size(); ++i)
        if (base64_alphabet.find(text[i]) == std::string_view::npos) return std::nullopt;
    std::vector<std::uint8_t> out(text.size() / 4 * 3);
    if (text.empty()) return out;
    const int written = crypto().decode_block(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                              static_cast<int>(text.size()));
    if (written < 0 || static_cast<std::size_t>(written) != out.size()) return std::nullopt;
    out.resize(out.size() - padding);
    return out;
}

std::optional<PublicKey> public_key_from_base64(std::string_view text) { return fixed_from_base64<32>(text); }

std::optional<Signature> signature_from_base64(std::string_view text) { return fixed_from_base64<64>(text); }

Seed generate_seed() {
    Pkey key(crypto().q_keygen(nullptr, nullptr, "ED25519"));
    Seed seed{};
    std::size_t size = seed.size();
    if (!key || crypto().get_raw_private_key(key.get(), seed.data(), &size) != 1 || size != seed.size())
        throw CryptoError("OpenSSL cannot generate an Ed25519 key");
    return seed;
}

PublicKey public_key_of(const Seed& seed) {
    const Pkey key = private_key(seed);
    PublicKey out{};
    std::size_t size = out.size();
    if (crypto().get_raw_public_key(key.get(), out.data(), &size) != 1 || size != out.size())
        throw CryptoError("OpenSSL cannot derive an Ed25519 public key");
    return out;
}

Signature sign(const Seed& seed, std::span<const std::uint8_t> message) {
    const Pkey key = private_key(seed);
    const MdCtx context(crypto().md_ctx_new());
    Signature out{};
    std::size_t size = out.size();
    // No digest: Ed25519 hashes the message itself (SHA-512, as RFC 8032 fixes).
    if (!context || crypto().digest_sign_init(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        crypto().digest_sign(context.get(), out.data(), &size, message.data(), message.size()) != 1 ||
        size != out.size())
        throw CryptoError("OpenSSL cannot make an Ed25519 signature");
    return out;
}

bool verify(const PublicKey& key_bytes, std::span<const std::uint8_t> message, const Signature& signature) {
    const Pkey key(crypto().new_raw_public_key(EVP_PKEY_ED25519, nullptr, key_bytes.data(), key_bytes.size()));
    if (!key) return false;
    const MdCtx context(crypto().md_ctx_new());
    if (!context || crypto().digest_verify_init(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
    return crypto().digest_verify(context.get(), signature.data(), signature.size(), message.data(), message.size()) ==
           1;
}

MappedFile::MappedFile(const std::filesystem::path& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    map(fd.get(), path.string());
}

MappedFile::MappedFile(int fd) { map(fd, "descriptor " + std::to_string(fd)); }

void MappedFile::map(int fd, const std::string& name) {
    struct stat info {};
    int error = ::fstat(fd, &info) != 0 ? errno : 0;
    if (error == 0 && !S_ISREG(info.st_mode)) error = EINVAL;
    if (error == 0 && info.st_size > 0) {
        size_ = static_cast<std::size_t>(info.st_size);
        void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            error = errno;
            size_ = 0;
        } else {
            data_ = static_cast<const std::uint8_t*>(mapped);
            ::madvise(mapped, size_, MADV_SEQUENTIAL);
        }
    }
    if (error != 0) throw std::system_error(error, std::generic_category(), "cannot map " + name);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

Sha256::Sha256() : context_(crypto().md_ctx_new()) {
    if (context_ == nullptr || crypto().digest_init(context_, crypto().sha256(), nullptr) != 1) {
        if (context_ != nullptr) crypto().md_ctx_free(context_);
        throw CryptoError("OpenSSL cannot start a SHA-256 digest");
    }
}

Sha256::~Sha256() { crypto().md_ctx_free(context_); }

void Sha256::update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty() && crypto().digest_update(context_, bytes.data(), bytes.size()) != 1)
        throw CryptoError("OpenSSL cannot compute a SHA-256 digest");
}

std::string Sha256::hex() {
    unsigned char digest[32];
    unsigned int size = 0;
    if (crypto().digest_final(context_, digest, &size) != 1 || size != sizeof digest)
        throw CryptoError("OpenSSL cannot compute a SHA-256 digest");
    constexpr std::string_view digits = "0123456789abcdef";
    std::string out;
    for (const unsigned char byte : digest) {
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

}  // namespace kestrova::protocol::ed25519
