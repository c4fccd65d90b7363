#include "protocol/delta_libraries.h"

#include <string>

#include "platform/shared_library.h"
#include "protocol/delta.h"

namespace kestrova::protocol::delta_libraries {

namespace {

bool fill_zstd(const platform::SharedLibrary& l, Zstd& z) {
    return l.resolve("ZSTD_createCCtx", z.create_cctx) && l.resolve("ZSTD_freeCCtx", z.free_cctx) &&
           l.resolve("ZSTD_CCtx_setParameter", z.cctx_set_parameter) &&
           l.resolve("ZSTD_CCtx_setPledgedSrcSize", z.cctx_set_pledged_src_size) &&
           l.resolve("ZSTD_CCtx_refPrefix", z.cctx_ref_prefix) &&
           l.resolve("ZSTD_compressStream2", z.compress_stream2) && l.resolve("ZSTD_createDCtx", z.create_dctx) &&
           l.resolve("ZSTD_freeDCtx", z.free_dctx) && l.resolve("ZSTD_DCtx_setParameter", z.dctx_set_parameter) &&
           l.resolve("ZSTD_DCtx_refPrefix", z.dctx_ref_prefix) &&
           l.resolve("ZSTD_decompressStream", z.decompress_stream) && l.resolve("ZSTD_isError", z.is_error) &&
           l.resolve("ZSTD_getErrorName", z.error_name);
}

bool fill_archive(const platform::SharedLibrary& l, Libarchive& a) {
    return l.resolve("archive_read_new", a.read_new) &&
           l.resolve("archive_read_support_format_tar", a.read_support_format_tar) &&
           l.resolve("archive_read_open_fd", a.read_open_fd) &&
           l.resolve("archive_read_next_header", a.read_next_header) &&
           l.resolve("archive_read_data_block", a.read_data_block) && l.resolve("archive_read_free", a.read_free) &&
           l.resolve("archive_write_new", a.write_new) &&
           l.resolve("archive_write_set_format_ustar", a.write_set_format_ustar) &&
           l.resolve("archive_write_set_bytes_in_last_block", a.write_set_bytes_in_last_block) &&
           l.resolve("archive_write_open_filename", a.write_open_filename) &&
           l.resolve("archive_write_header", a.write_header) && l.resolve("archive_write_data", a.write_data) &&
           l.resolve("archive_write_close", a.write_close) && l.resolve("archive_write_free", a.write_free) &&
           l.resolve("archive_error_string", a.error_string) && l.resolve("archive_entry_new", a.entry_new) &&
           l.resolve("archive_entry_free", a.entry_free) && l.resolve("archive_entry_pathname", a.entry_pathname) &&
           l.resolve("archive_entry_size", a.entry_size) && l.resolve("archive_entry_filetype", a.entry_filetype) &&
           l.resolve("archive_entry_set_pathname", a.entry_set_pathname) &&
           l.resolve("archive_entry_set_size", a.entry_set_size) &&
           l.resolve("archive_entry_set_filetype", a.entry_set_filetype) &&
           l.resolve("archive_entry_set_perm", a.entry_set_perm);
}

constinit platform::LazyLibrary<Zstd> zstd_library(platform::LoadableLibrary::zstd, fill_zstd);
constinit platform::LazyLibrary<Libarchive> archive_library(platform::LoadableLibrary::archive, fill_archive);

template <class Table>
const Table& loaded(platform::LazyLibrary<Table>& library, platform::LoadableLibrary which) {
    const Table* table = library.get();
    if (table == nullptr)
        throw DeltaError(std::string(platform::library_file(which).description) +
                         " cannot be loaded, so no delta can be used; install it");
    return *table;
}

}  // namespace

const Zstd& zstd() { return loaded(zstd_library, platform::LoadableLibrary::zstd); }
const Libarchive& libarchive() { return loaded(archive_library, platform::LoadableLibrary::archive); }

}  // namespace kestrova::protocol::delta_libraries
