// The launch record: the launcher's whole configuration, burned by the packaging tool into a
// reserved area of the executable's read-only data and parsed before main runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrova/export.h"

namespace kestrova {

// Bytes of the reserved area before its terminating NUL. The packaging tool finds the area as the
// one run of exactly this many '_' bytes followed by a NUL.
inline constexpr std::size_t reserved_area_size = 16463;
inline constexpr char reserved_area_fill = '_';

// Flag bits of the record's first byte.
inline constexpr std::uint8_t flag_jvm_on_main_thread = 1u << 0;
inline constexpr std::uint8_t flag_console = 1u << 1;
inline constexpr std::uint8_t flag_bit2_mask = 1u << 2;
inline constexpr std::uint8_t flag_aggressive_updates = 1u << 3;
inline constexpr std::uint8_t flag_bit4_mask = 1u << 4;

// A record whose counts or strings run past the end of the bytes it was given.
class LaunchRecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class BurnedInData {
public:
    // Parses the record at the start of a reserved area of reserved_area_size bytes.
    explicit BurnedInData(const char* record);
    // Parses a record that must fit in `bytes`; nothing outside them is read.
    explicit BurnedInData(std::span<const char> bytes);
    ~BurnedInData();

    BurnedInData(const BurnedInData&) = delete;
    BurnedInData& operator=(const BurnedInData&) = delete;

    bool jvm_on_main_thread = false;
    bool console = false;
    bool flag_bit2 = false;
    bool aggressive_updates = false;
    bool flag_bit4 = false;
    std::uint32_t stack_size = 0;
    std::string main_class;
    std::vector<std::string> jvm_options;
    std::vector<std::string> app_args;

    // Number of record bytes the parse consumed (flags through the last argument's NUL).
    std::size_t record_size = 0;
};

// Builds the bytes of a launch record; the inverse of the BurnedInData parse. Throws
// LaunchRecordError for what a record cannot hold (a NUL inside a string, more than 255 options or
// arguments). Used by the packaging tool and the tests.
struct LaunchRecordFields {
    std::uint8_t flags = 0;
    std::uint32_t stack_size = 0;
    std::string main_class;
    std::vector<std::string> jvm_options;
    std::vector<std::string> app_args;
};
std::vector<char> encode_launch_record(const LaunchRecordFields& fields);

// Offsets in a launcher image of burned areas, at most `limit` of them: reserved_area_size bytes
// that parse as a record followed by fill up to the area's closing NUL. The packaging tool finds a
// launcher's record by it, and so do the menu entries of a bundle, which tell its commands apart.
std::vector<std::size_t> burned_area_offsets(std::span<const char> image, std::size_t limit);

// The one global instance, parsed from the reserved area before main.
KESTROVA_EXPORT extern BurnedInData data;

}  // namespace kestrova
