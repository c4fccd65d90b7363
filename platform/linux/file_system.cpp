#include "platform/file_system.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>

#include <cerrno>

namespace kestrova::platform {

int exchange_entries(int first_directory, const char* first, const char* second) {
    if (::renameat2(first_directory, first, AT_FDCWD, second, RENAME_EXCHANGE) == 0) return 0;
    const int error = errno;
    // Old kernels (ENOSYS) and file systems without the flag (EINVAL; ENOTSUP from some FUSE ones).
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) return exchange_not_supported;
    return error;
}

int rename_no_replace(const char* from, const char* to) {
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    const int error = errno;
    if (error == EINVAL || error == ENOSYS) return rename_no_replace_not_supported;
    return error;
}

int create_memory_file(const char* name) { return ::memfd_create(name, MFD_CLOEXEC); }

}  // namespace kestrova::platform
