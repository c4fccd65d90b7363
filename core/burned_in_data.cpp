#include "kestrova/burned_in_data.h"

#include <cstring>
#include <limits>
#include <string>

namespace kestrova {

namespace {

// A forward reader that refuses to step past the bytes it was given.
class RecordReader {
public:
    explicit RecordReader(std::span<const char> bytes) : bytes_(bytes) {}

    std::uint8_t byte(const char* what) {
        if (pos_ >= bytes_.size()) throw past_end(what);
        return static_cast<std::uint8_t>(bytes_[pos_++]);
    }

    std::string string(const char* what) {
        const char* start = bytes_.data() + pos_;
        const std::size_t left = bytes_.size() - pos_;
        const void* nul = std::memchr(start, '\0', left);
        if (nul == nullptr) throw past_end(what);
        const auto length = static_cast<std::size_t>(static_cast<const char*>(nul) - start);
        pos_ += length + 1;
        return std::string(start, length);
    }

    std::size_t position() const { return pos_; }

private:
    LaunchRecordError past_end(const char* what) const {
        return LaunchRecordError(std::string("The launch record is damaged: ") + what +
                                 " runs past the end of the reserved area");
    }

    std::span<const char> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

BurnedInData::BurnedInData(const char* record) : BurnedInData(std::span<const char>(record, reserved_area_size)) {}

BurnedInData::BurnedInData(std::span<const char> bytes) {
    RecordReader in(bytes);
    const std::uint8_t flags = in.byte("the flags byte");
    jvm_on_main_thread = (flags & flag_jvm_on_main_thread) != 0;
    console = (flags & flag_console) != 0;
    flag_bit2 = (flags & flag_bit2_mask) != 0;
    aggressive_updates = (flags & flag_aggressive_updates) != 0;
    flag_bit4 = (flags & flag_bit4_mask) != 0;

    for (int i = 0; i < 4; ++i) stack_size = (stack_size << 8) | in.byte("the stack size");

    main_class = in.string("the main class name");

    const std::uint8_t option_count = in.byte("the JVM option count");
    jvm_options.reserve(option_count);
    for (unsigned i = 0; i < option_count; ++i) jvm_options.push_back(in.string("a JVM option"));

    const std::uint8_t arg_count = in.byte("the argument count");
    app_args.reserve(arg_count);
    for (unsigned i = 0; i < arg_count; ++i) app_args.push_back(in.string("an argument"));

    record_size = in.position();
}

// Members go in reverse declaration order: app_args, jvm_options, then main_class.
BurnedInData::~BurnedInData() = default;

std::vector<char> encode_launch_record(const LaunchRecordFields& fields) {
    constexpr std::size_t max_count = std::numeric_limits<std::uint8_t>::max();
    if (fields.jvm_options.size() > max_count)
        throw LaunchRecordError("a launch record holds at most 255 JVM options, not " +
                                std::to_string(fields.jvm_options.size()));
    if (fields.app_args.size() > max_count)
        throw LaunchRecordError("a launch record holds at most 255 arguments, not " +
                                std::to_string(fields.app_args.size()));

    std::vector<char> out;
    auto put_string = [&out](const std::string& s, const char* what) {
        if (s.find('\0') != std::string::npos)
            throw LaunchRecordError(std::string(what) +
                                    " contains a NUL byte, which a launch "
                                    "record cannot hold");
        out.insert(out.end(), s.begin(), s.end());
        out.push_back('\0');
    };

    out.push_back(static_cast<char>(fields.flags));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((fields.stack_size >> shift) & 0xFFu));
    put_string(fields.main_class, "the main class name");
    out.push_back(static_cast<char>(fields.jvm_options.size()));
    for (const auto& option : fields.jvm_options) put_string(option, "a JVM option");
    out.push_back(static_cast<char>(fields.app_args.size()));
    for (const auto& arg : fields.app_args) put_string(arg, "an argument");

    if (out.size() > reserved_area_size)
        throw LaunchRecordError("the launch record is " + std::to_string(out.size()) + " bytes, more than the " +
                                std::to_string(reserved_area_size) + "-byte reserved area holds");
    return out;
}

// The area ends in its NUL; before it lies the fill the record left, and before that the record,
// whose last byte is always a NUL (an argument's terminator or a zero argument count). A burned
// record always leaves some fill: without it any NUL of the image could end an "area", and bytes
// next to the real one parse as records surprisingly often.
std::vector<std::size_t> burned_area_offsets(std::span<const char> image, std::size_t limit) {
    std::vector<std::size_t> found;
    const auto is_fill = [](char c) { return c == reserved_area_fill; };
    for (std::size_t end = reserved_area_size; end < image.size() && found.size() < limit; ++end) {
        if (image[end] != '\0') continue;
        std::size_t fill = 0;
        while (fill < reserved_area_size && is_fill(image[end - 1 - fill])) ++fill;
        if (fill == 0 || fill == reserved_area_size || image[end - 1 - fill] != '\0') continue;
        const std::size_t start = end - reserved_area_size;
        try {
            const BurnedInData record(image.subspan(start, reserved_area_size));
            if (record.record_size + fill == reserved_area_size) found.push_back(start);
        } catch (const LaunchRecordError&) {
            // Bytes that merely end like an area; keep looking.
        }
    }
    return found;
}

}  // namespace kestrova
