// libzstd and libarchive as the delta code uses them, both opened on first use: the update
// framework is loaded by every launch, and only an install by delta needs them. Only the headers'
// types and constants are used; every call goes through these tables.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

namespace kestrova::protocol::delta_libraries {

struct Zstd {
    decltype(&::ZSTD_createCCtx) create_cctx;
    decltype(&::ZSTD_freeCCtx) free_cctx;
    decltype(&::ZSTD_CCtx_setParameter) cctx_set_parameter;
    decltype(&::ZSTD_CCtx_setPledgedSrcSize) cctx_set_pledged_src_size;
    decltype(&::ZSTD_CCtx_refPrefix) cctx_ref_prefix;
    decltype(&::ZSTD_compressStream2) compress_stream2;
    decltype(&::ZSTD_createDCtx) create_dctx;
    decltype(&::ZSTD_freeDCtx) free_dctx;
    decltype(&::ZSTD_DCtx_setParameter) dctx_set_parameter;
    decltype(&::ZSTD_DCtx_refPrefix) dctx_ref_prefix;
    decltype(&::ZSTD_decompressStream) decompress_stream;
    decltype(&::ZSTD_isError) is_error;
    decltype(&::ZSTD_getErrorName) error_name;
};

struct Libarchive {
    decltype(&::archive_read_new) read_new;
    decltype(&::archive_read_support_format_tar) read_support_format_tar;
    decltype(&::archive_read_open_fd) read_open_fd;
    decltype(&::archive_read_next_header) read_next_header;
    decltype(&::archive_read_data_block) read_data_block;
    decltype(&::archive_read_free) read_free;
    decltype(&::archive_write_new) write_new;
    decltype(&::archive_write_set_format_ustar) write_set_format_ustar;
    decltype(&::archive_write_set_bytes_in_last_block) write_set_bytes_in_last_block;
    decltype(&::archive_write_open_filename) write_open_filename;
    decltype(&::archive_write_header) write_header;
    decltype(&::archive_write_data) write_data;
    decltype(&::archive_write_close) write_close;
    decltype(&::archive_write_free) write_free;
    decltype(&::archive_error_string) error_string;
    decltype(&::archive_entry_new) entry_new;
    decltype(&::archive_entry_free) entry_free;
    decltype(&::archive_entry_pathname) entry_pathname;
    decltype(&::archive_entry_size) entry_size;
    decltype(&::archive_entry_filetype) entry_filetype;
    decltype(&::archive_entry_set_pathname) entry_set_pathname;
    decltype(&::archive_entry_set_size) entry_set_size;
    decltype(&::archive_entry_set_filetype) entry_set_filetype;
    decltype(&::archive_entry_set_perm) entry_set_perm;
};

// The tables; each throws DeltaError saying what to install when its library cannot be loaded.
const Zstd& zstd();
const Libarchive& libarchive();

}  // namespace kestrova::protocol::delta_libraries
