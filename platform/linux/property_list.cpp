#include "platform/property_list.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "kestrova/file_descriptor.h"

#include "platform/shared_library.h"

namespace kestrova::platform {

namespace {

// libplist is loaded on first use: most launches never read the information dictionary's values
// that need it before the JVM starts, and none should pay for it then. Only the header's types and
// constants are used; every call goes through these pointers.
struct Libplist {
    decltype(&::plist_from_memory) from_memory;
    decltype(&::plist_free) free;
    decltype(&::plist_get_node_type) node_type;
    decltype(&::plist_dict_get_size) dict_size;
    decltype(&::plist_dict_new_iter) dict_new_iter;
    decltype(&::plist_dict_next_item) dict_next_item;
    decltype(&::plist_get_string_ptr) string_ptr;
    decltype(&::plist_get_uint_val) uint_val;
    decltype(&::plist_get_real_val) real_val;
    decltype(&::plist_get_bool_val) bool_val;
    void (*mem_free)(void*);  // frees what libplist allocated (iterators, keys)
};

constexpr const char* libplist_name = "libplist-2.0.so.3";
// An Info.plist is a few kilobytes; anything far larger is not one and is not read into memory.
constexpr std::uintmax_t max_plist_bytes = 16u << 20;

bool fill(const SharedLibrary& l, Libplist& p) {
    const bool ok = l.resolve("plist_from_memory", p.from_memory) && l.resolve("plist_free", p.free) &&
                    l.resolve("plist_get_node_type", p.node_type) && l.resolve("plist_dict_get_size", p.dict_size) &&
                    l.resolve("plist_dict_new_iter", p.dict_new_iter) &&
                    l.resolve("plist_dict_next_item", p.dict_next_item) &&
                    l.resolve("plist_get_string_ptr", p.string_ptr) && l.resolve("plist_get_uint_val", p.uint_val) &&
                    l.resolve("plist_get_real_val", p.real_val) && l.resolve("plist_get_bool_val", p.bool_val);
    // libplist allocates with malloc; its own free function came only in later versions.
    if (!l.resolve("plist_mem_free", p.mem_free)) p.mem_free = &::free;
    return ok;
}

constinit LazyLibrary<Libplist> libplist_table(libplist_name, fill);

const Libplist* libplist() { return libplist_table.get(); }

// The launch reads this file on the main thread before anything else, so opening it must not wait:
// a named pipe in its place would hold the launch until some writer came. It is opened without
// blocking and read only when it is a regular file.
std::optional<std::string> read_file(const std::string& path) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return std::nullopt;
    if (!S_ISREG(status.st_mode)) {
        // A directory is simply no dictionary; anything else there is a mistake worth naming.
        if (!S_ISDIR(status.st_mode))
            std::fprintf(stderr,
                         "kestrova: %s is not a regular file, so it is not read; put the bundle's Info.plist "
                         "file there.\n",
                         path.c_str());
        return std::nullopt;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > max_plist_bytes) return std::nullopt;
    std::string data;
    if (read_up_to(fd.get(), data, max_plist_bytes + 1) != 0) return std::nullopt;
    if (data.size() > max_plist_bytes) return std::nullopt;  // it grew while being read
    return data;
}

// The shortest decimal that reads back as the same double.
std::string shortest_decimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::optional<std::string> string_form(const Libplist& p, plist_t node) {
    switch (p.node_type(node)) {
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* s = p.string_ptr(node, &length);
            if (s == nullptr) return std::nullopt;
            return std::string(s, static_cast<std::size_t>(length));
        }
        case PLIST_UINT: {
            // libplist 2.2 keeps every integer as 64 bits without a sign of its own; negative numbers
            // come back in two's complement. Info.plist integers are versions and intervals, far
            // below 2^63, so the top bit is read as a sign.
            std::uint64_t raw = 0;
            p.uint_val(node, &raw);
            return std::to_string(static_cast<std::int64_t>(raw));
        }
        case PLIST_REAL: {
            double value = 0;
            p.real_val(node, &value);
            return shortest_decimal(value);
        }
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            p.bool_val(node, &value);
            return std::string(value ? "YES" : "NO");
        }
        default:
            return std::nullopt;  // data, dates, arrays, dictionaries: no string form
    }
}

}  // namespace

std::optional<InfoEntries> read_property_list(const std::string& path) {
    const auto data = read_file(path);
    if (!data || data->empty()) return std::nullopt;
    const Libplist* p = libplist();
    if (p == nullptr) return std::nullopt;

    plist_t root = nullptr;
    p->from_memory(data->data(), static_cast<std::uint32_t>(data->size()), &root);
    if (root == nullptr) return std::nullopt;
    std::optional<InfoEntries> result;
    if (p->node_type(root) == PLIST_DICT) {
        InfoEntries& entries = result.emplace();
        plist_dict_iter it = nullptr;
        p->dict_new_iter(root, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            p->dict_next_item(root, it, &key, &value);
            if (key == nullptr) break;
            if (value != nullptr) {
                if (auto text = string_form(*p, value)) entries.insert_or_assign(key, std::move(*text));
            }
            p->mem_free(key);
        }
        p->mem_free(it);
    }
    p->free(root);
    return result;
}

InfoEntries read_info_dictionary(const std::string& path) { return read_property_list(path).value_or(InfoEntries{}); }

}  // namespace kestrova::platform
