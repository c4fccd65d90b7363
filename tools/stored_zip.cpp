#include "tools/stored_zip.h"

#include <zip.h>

#include <memory>
#include <string>

#include "tools/packaging.h"

namespace kestrova::pack {

namespace {

constexpr std::string_view msg_cannot_store =
    "cannot rewrite \"{}\" with its entries stored: {}; check that the JDK's jmods are intact and that the output folder has free space";

}  // namespace

// libzip rather than libarchive: libarchive writes a ZIP as a stream, so a stored entry's CRC
// comes in a descriptor after its data, which java.util.zip.ZipInputStream refuses. libzip
// writes the whole file and puts every entry's CRC and sizes in its local header.
void store_zip_entries(const std::filesystem::path& zip) {
    int error = 0;
    zip_t* opened = zip_open(zip.c_str(), 0, &error);
    if (opened == nullptr) {
        zip_error_t reason;
        zip_error_init_with_code(&reason, error);
        const std::string text = zip_error_strerror(&reason);
        zip_error_fini(&reason);
        throw PackError(fill(msg_cannot_store, {zip.string(), text}));
    }
    // zip_discard drops every change and frees; zip_close, which writes them, frees only on success.
    std::unique_ptr<zip_t, decltype(&zip_discard)> archive(opened, &zip_discard);
    const auto fail = [&] { throw PackError(fill(msg_cannot_store, {zip.string(), zip_strerror(archive.get())})); };
    const zip_int64_t entries = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < entries; ++i)
        if (zip_set_file_compression(archive.get(), static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0) != 0) fail();
    // Written to a temporary file beside it and renamed over it, with its permission bits.
    if (zip_close(archive.get()) != 0) fail();
    (void)archive.release();
}

}  // namespace kestrova::pack
