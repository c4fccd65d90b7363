// The update log: one handle per subsystem and category, records at the default level.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "kestrova/text.h"

namespace kestrova::platform {

class UpdateLog {
public:
    // Creates the log for `subsystem` (a reverse-DNS identifier) and `category`. Where the records
    // go is the platform's system log, or what the platform's documentation in docs/ names in its
    // place. Handles are never destroyed.
    static UpdateLog* create(std::string_view subsystem, std::string_view category);

    // Whether records at the default level are written at all.
    bool default_enabled() const;

    // Writes one record: `format` with each "%{public}@" replaced by the next of `args`.
    void write(std::string_view format, std::initializer_list<std::string_view> args = {});

    struct Impl;
    explicit UpdateLog(Impl* impl) : impl_(impl) {}

private:
    Impl* impl_;
};

// "%{public}@" placeholders of `format` filled with `args` in order; extra placeholders stay empty.
inline std::string format_log_message(std::string_view format, std::initializer_list<std::string_view> args) {
    return fill_placeholders(format, "%{public}@", args);
}

}  // namespace kestrova::platform
