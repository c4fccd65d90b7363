// Feeds arbitrary bytes to the launch record parser as the whole reserved area: it must never read
// past them, and whatever it accepts must encode back to the same record bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "kestrova/burned_in_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // A heap copy of exactly `size` bytes, so any read past the end is caught.
    std::vector<char> area(bytes, bytes + size);
    try {
        const kestrova::BurnedInData data{std::span<const char>(area)};
        kestrova::LaunchRecordFields fields;
        fields.flags = static_cast<std::uint8_t>(area[0]);
        fields.stack_size = data.stack_size;
        fields.main_class = data.main_class;
        fields.jvm_options = data.jvm_options;
        fields.app_args = data.app_args;
        if (data.record_size > kestrova::reserved_area_size) return 0;  // longer than an area holds
        const auto encoded = kestrova::encode_launch_record(fields);
        if (encoded.size() != data.record_size || std::memcmp(encoded.data(), area.data(), encoded.size()) != 0)
            std::abort();
    } catch (const kestrova::LaunchRecordError&) {
        // A damaged record: refused, as it must be.
    }
    return 0;
}
