#include "tools/ed25519_keys.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "kestrova/file_descriptor.h"
#include "tools/file_ops.h"
#include "tools/packaging.h"

namespace kestrova::pack {

namespace fs = std::filesystem;
namespace ed = protocol::ed25519;

namespace {

constexpr std::string_view msg_key_exists =
    "the key file \"{}\" already exists; a key is never overwritten: choose another --key-file";
constexpr std::string_view msg_cannot_create_key =
    "cannot create the key file \"{}\": {}; check that its directory exists and is writable";
constexpr std::string_view msg_not_a_key =
    "\"{}\" holds no Ed25519 private key; pass the --key-file that generate-keys wrote";
constexpr std::string_view msg_cannot_sign = "cannot read \"{}\" to sign it: {}; check the path";
// A PEM key is a few hundred bytes; anything much larger is not a key file.
constexpr std::size_t max_key_file_bytes = std::size_t{64} * 1024;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string pem_of(const ed::Seed& seed) {
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!key || !bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw ed::CryptoError("OpenSSL cannot write the private key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// Keys are never encrypted; without this, OpenSSL would ask for a pass phrase on the terminal.
int no_passphrase(char*, int, int, void*) { return 0; }

}  // namespace

ed::PublicKey generate_key_file(const fs::path& path, const std::function<void(const ed::PublicKey&)>& announce) {
    const ed::Seed seed = ed::generate_seed();
    const std::string pem = pem_of(seed);
    // O_EXCL with O_CREAT also refuses a link, dangling or not, so nothing is written through one.
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        if (errno == EEXIST) throw PackError(fill(msg_key_exists, {path.string()}));
        throw PackError(fill(msg_cannot_create_key, {path.string(), std::generic_category().message(errno)}));
    }
    int error = 0;
    // The umask can only take bits away from 0600, but say it outright.
    if (::fchmod(fd.get(), 0600) != 0) error = errno;
    if (error == 0) error = kestrova::write_all(fd.get(), pem);
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    // A key file a late write error cut short must not be left as if whole.
    if (fd.close() != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(path.c_str());
        throw PackError(fill(msg_cannot_create_key, {path.string(), std::generic_category().message(error)}));
    }
    const ed::PublicKey public_key = ed::public_key_of(seed);
    // A key whose public half nobody saw is of no use, and left behind it would block the retry.
    try {
        announce(public_key);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    return public_key;
}

ed::Seed read_key_file(const fs::path& path) {
    const std::vector<char> text = read_file(path);
    if (text.size() > max_key_file_bytes) throw PackError(fill(msg_not_a_key, {path.string()}));
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr) : nullptr);
    ed::Seed seed{};
    std::size_t size = seed.size();
    if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519 ||
        EVP_PKEY_get_raw_private_key(key.get(), seed.data(), &size) != 1 || size != seed.size())
        throw PackError(fill(msg_not_a_key, {path.string()}));
    return seed;
}

std::string signature_attributes(const fs::path& path, const ed::Seed& seed) {
    try {
        const ed::MappedFile file(path);
        const ed::Signature signature = ed::sign(seed, file.bytes());
        return "sparkle:edSignature=\"" + ed::encode_base64(signature) + "\" length=\"" +
               std::to_string(file.bytes().size()) + "\"";
    } catch (const std::system_error& e) {
        throw PackError(fill(msg_cannot_sign, {path.string(), e.code().message()}));
    }
}

}  // namespace kestrova::pack
