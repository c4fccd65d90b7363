#include "core/launch_failure.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestrova {

namespace {

constexpr std::string_view title_suffix = " could not be started";

// Failures whose line speaks to whoever packaged the application, or says nothing a user can act
// on, get their own advice; every other line goes with advice_default.
struct LineAdvice {
    std::string_view line_start;
    std::string_view advice;
};
constexpr LineAdvice line_advice[] = {
    {"Path to executable is too long",
     "Move the application to a folder with a shorter path (the whole path must stay under 2048 bytes)."},
    {"Failed to create JVM",
     "The application's Java runtime refused to start with its settings. Install the application "
     "again; if that does not help, send this message to its vendor."},
    {"Could not start the JVM thread",
     "The system could not start the application's main thread: close other applications and try "
     "again; if it keeps failing, send this message to the application's vendor."},
    {"Out of memory", "Close other applications and try again."},
};

// What every line naming the user's options says, so that its advice follows it.
constexpr std::string_view user_options_marker = " were added to this start";
constexpr std::string_view advice_user_options =
    "Correct or remove the line of that file that the Java runtime refused (its own words are above), "
    "then start the application again.";

}  // namespace

std::string user_options_note(std::string_view file) {
    std::string note = "the JVM options in ";
    note += file;
    note += user_options_marker;
    note += ": correct or remove the one the Java runtime refused";
    return note;
}

std::string jvm_creation_failure_line(int result, std::string_view user_options_file) {
    char code[16];
    std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(result));
    std::string line = "Failed to create JVM: Error 0x";
    line += code;
    if (!user_options_file.empty()) {
        line += "; ";
        line += user_options_note(user_options_file);
        line += '.';
    }
    return line;
}

bool launch_failure_wants_alert(bool console, bool standard_error_is_terminal) {
    return !console && !standard_error_is_terminal;
}

std::string application_display_name(const std::optional<std::string>& bundle_name, std::string_view executable_path) {
    if (bundle_name && !bundle_name->empty()) return *bundle_name;
    const auto slash = executable_path.rfind('/');
    std::string_view file = slash == std::string_view::npos ? executable_path : executable_path.substr(slash + 1);
    return std::string(file.empty() ? std::string_view("The application") : file);
}

std::string launch_failure_title(std::string_view application_name) {
    std::string title(application_name);
    title += title_suffix;
    return title;
}

std::string_view launch_failure_advice(std::string_view line) {
    if (line.find(user_options_marker) != std::string_view::npos) return advice_user_options;
    for (const auto& entry : line_advice)
        if (line.starts_with(entry.line_start)) return entry.advice;
    return advice_default;
}

std::string launch_failure_text(std::string_view line, std::string_view jvm_output, std::string_view advice) {
    std::string text(line);
    // Trailing line breaks of the JVM's output would leave a gap before the advice.
    while (!jvm_output.empty() && (jvm_output.back() == '\n' || jvm_output.back() == '\r')) jvm_output.remove_suffix(1);
    while (!jvm_output.empty() && jvm_output.front() == '\n') jvm_output.remove_prefix(1);
    if (!jvm_output.empty()) {
        if (!text.empty()) text += "\n\n";
        text += "The Java runtime said:\n";
        text += jvm_output;
    }
    if (!advice.empty()) {
        if (!text.empty()) text += "\n\n";
        text += advice;
    }
    return text;
}

void JvmOutputTail::append(std::string_view text) {
    if (text.size() >= capacity) {
        text = text.substr(text.size() - capacity);
        size_ = 0;
        dropped_ = true;
    } else if (size_ + text.size() > capacity) {
        const std::size_t drop = size_ + text.size() - capacity;
        std::memmove(buffer_.data(), buffer_.data() + drop, size_ - drop);
        size_ -= drop;
        dropped_ = true;
    }
    std::copy(text.begin(), text.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(size_));
    size_ += text.size();
}

void JvmOutputTail::clear() {
    size_ = 0;
    dropped_ = false;
}

std::string JvmOutputTail::text() const {
    std::string_view kept(buffer_.data(), size_);
    if (dropped_) {
        // The first line is only the end of one: start after it, when another follows.
        if (const auto newline = kept.find('\n'); newline != std::string_view::npos && newline + 1 < kept.size())
            kept.remove_prefix(newline + 1);
    }
    return std::string(kept);
}

}  // namespace kestrova
