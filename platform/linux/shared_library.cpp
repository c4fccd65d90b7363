#include "platform/shared_library.h"

#include <dlfcn.h>

namespace kestrova::platform {

SharedLibrary SharedLibrary::open(const char* file_name, std::string* failure) {
    void* handle = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr && failure != nullptr) {
        const char* why = dlerror();
        *failure = why != nullptr ? why : "dlopen failed";
    }
    return SharedLibrary(handle);
}

void* SharedLibrary::symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

LibraryFile library_file(LoadableLibrary library) {
    switch (library) {
        case LoadableLibrary::crypto:
            return {"libcrypto.so.3", "OpenSSL's libcrypto (libcrypto.so.3, Debian package libssl3)"};
        case LoadableLibrary::archive:
            return {"libarchive.so.13", "libarchive (libarchive.so.13, Debian package libarchive13)"};
        case LoadableLibrary::zstd:
            return {"libzstd.so.1", "libzstd (libzstd.so.1, Debian package libzstd1)"};
    }
    return {"", ""};
}

const char* update_framework_file_name() { return "libkestrova-updater.so"; }

}  // namespace kestrova::platform
