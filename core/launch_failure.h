// What a GUI user sees of a launch that fails before the application runs. Started from a desktop
// menu, the one line on standard error goes to a log nobody reads, so the same line also appears in
// the alert, with what the user can do about it. The texts are pure functions, tested without a JVM.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// Whether a failed launch also shows the alert: only an application with a GUI, and only when
// standard error is not a terminal (a terminal's user reads the line where it is printed).
bool launch_failure_wants_alert(bool console, bool standard_error_is_terminal);

// The name the alert gives the application: its name in Info.plist (application_name_in, as the
// update dialog and the rollback sentence give it) when it has one, otherwise the executable's file
// name.
std::string application_display_name(const std::optional<std::string>& bundle_name, std::string_view executable_path);

// "NAME could not be started".
std::string launch_failure_title(std::string_view application_name);

// What a user can do after the failure that `line` reports.
std::string_view launch_failure_advice(std::string_view line);

// Advice for a failure that nothing more specific fits.
inline constexpr std::string_view advice_default =
    "Install the application again; if that does not help, send this message to its vendor.";

// Advice for the support classes that the launcher hands control through: missing or not
// matching the launcher.
inline constexpr std::string_view advice_support_classes =
    "The application's support classes (kestrova-support.jar) are missing or do not match its "
    "launcher: install the application again; if that does not help, send this message to its vendor.";

// What a failure the JVM's refusal caused says when the user's own file of JVM options added
// options to the start: the file, and that one of its lines is the likely cause.
std::string user_options_note(std::string_view file);

// "Failed to create JVM: Error 0x%x" for JNI_CreateJavaVM's `result`, naming the user's file of
// options when it added any (`user_options_file` not empty).
std::string jvm_creation_failure_line(int result, std::string_view user_options_file);

// The alert's text: the line, then what the JVM said while it was created (when anything), then
// `advice`.
std::string launch_failure_text(std::string_view line, std::string_view jvm_output, std::string_view advice);

// The last lines the JVM printed while it was being created: its own reason when creation fails.
// Fixed storage, trivially destructible: the JVM prints from its own threads up to the moment the
// process exits, after static destructors have begun.
class JvmOutputTail {
public:
    static constexpr std::size_t capacity = 4096;

    void append(std::string_view text);
    // What is kept, starting at a line start once older output had to be dropped.
    std::string text() const;
    void clear();

private:
    std::array<char, capacity> buffer_{};
    std::size_t size_ = 0;
    bool dropped_ = false;
};

}  // namespace kestrova
