// Libraries opened on first use: a launch pays for loading one (and all it brings) only when it
// first needs it. The caller keeps its functions in a table of pointers and uses the library's
// headers for types and constants only.
#pragma once

#include <mutex>
#include <string>

namespace kestrova::platform {

// An opened library, never closed: its code or state may still be in use by another thread as the
// process ends, and unloading is never worth that risk.
class SharedLibrary {
public:
    // Opens `file_name` where the system's loader looks for libraries. When that fails, the
    // library is not loaded() and `failure` (if given) says why.
    static SharedLibrary open(const char* file_name, std::string* failure = nullptr);

    bool loaded() const { return handle_ != nullptr; }

    // Sets `out` to the function `name` of the library (or of one it depends on); false when there
    // is none.
    template <class F>
    bool resolve(const char* name, F& out) const {
        out = reinterpret_cast<F>(symbol(name));
        return out != nullptr;
    }

private:
    explicit SharedLibrary(void* handle) : handle_(handle) {}
    void* symbol(const char* name) const;

    void* handle_;
};

// The libraries the update steps load, by what they do; the backend knows their files.
enum class LoadableLibrary {
    crypto,   // OpenSSL 3's libcrypto: the update signatures
    archive,  // libarchive: unpacking an update
    zstd,     // libzstd: the patches and files of a delta update
};

// The file `library` is opened from, and how to name it in a sentence that tells the user what to
// install when it cannot be loaded.
struct LibraryFile {
    const char* file_name;
    const char* description;
};
LibraryFile library_file(LoadableLibrary library);

// The update framework's file name in a bundle's Frameworks directory, in the form the system
// loads: the launcher opens it from there and the packaging tool puts it there.
const char* update_framework_file_name();

// A table of a library's functions, filled on the first get() from any thread and kept for the
// rest of the process. Meant for a static of namespace scope: it is built at compile time and
// needs no destructor, so it stays usable while other statics are destroyed.
template <class Table>
class LazyLibrary {
public:
    // `fill` resolves each function into the table and says whether all were found.
    using Fill = bool (*)(const SharedLibrary& library, Table& table);

    constexpr LazyLibrary(const char* file_name, Fill fill) : file_name_(file_name), fill_(fill) {}
    constexpr LazyLibrary(LoadableLibrary library, Fill fill) : library_(library), fill_(fill) {}

    // The table; null when the library cannot be opened or lacks one of the functions.
    const Table* get() {
        std::call_once(once_, [this] {
            const SharedLibrary library = SharedLibrary::open(file_name_ != nullptr ? file_name_
                                                                                    : library_file(library_).file_name);
            loaded_ = library.loaded() && fill_(library, table_);
        });
        return loaded_ ? &table_ : nullptr;
    }

private:
    const char* file_name_ = nullptr;
    LoadableLibrary library_{};
    Fill fill_;
    std::once_flag once_;
    Table table_{};
    bool loaded_ = false;
};

}  // namespace kestrova::platform
