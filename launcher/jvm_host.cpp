// The JVM host: reads the user's JVM options, plans the launch (core/launch_plan.h), creates the
// JVM the plan describes and hands control to the application's main method; and the class-data
// helper's dump, the same plan with another purpose.
#include "launcher/jvm_host.h"

#include <jni.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/launch_failure.h"
#include "core/launch_plan.h"
#include "kestrova/info_plist_keys.h"
#include "kestrova/kestrova.h"
#include "kestrova/utf8.h"
#include "launcher/bench_marks.h"
#include "launcher/class_data_start.h"
#include "launcher/command_line.h"
#include "launcher/launch_failure.h"
#include "launcher/updates/update_bridge.h"
#include "launcher/updates/update_startup.h"
#include "platform/bundle_info.h"
#include "platform/executable_path.h"
#include "platform/process.h"
#include "platform/user_settings.h"

namespace kestrova {

namespace {

constexpr const char* msg_path_too_long = "Path to executable is too long, have 2048 bytes buffer space.";
constexpr const char* msg_path_unreadable =
    "Could not read the path of the executable itself (%s); start the application again from its bundle.";
constexpr const char* msg_out_of_memory =
    "Out of memory while preparing the JVM options; close other applications and try again.";
constexpr const char* msg_no_main_method =
    "Launcher.prepare returned no main method; bundle the application with the support JAR that matches "
    "this launcher.";
constexpr const char* msg_no_exception_text =
    "Launcher.fromException gave no text for the application's uncaught exception (stack trace "
    "above); bundle the application with the support JAR that matches this launcher.";
constexpr const char* msg_user_options_unreadable =
    "Could not read the JVM options in %s (%s); make the file readable or remove it.";
constexpr const char* msg_user_options_bad = "%s, line %zu: %s.";
constexpr const char* msg_user_options_not_a_file =
    "The JVM options in %s are not in a regular file; put them in a file of that name, one a line, or remove it.";
constexpr const char* msg_user_options_refused = "The Java runtime refused to start; %s.";
constexpr const char* msg_no_home =
    "The application's JVM options name the user's home directory, which cannot be found (HOME is not set); "
    "set HOME and start the application again.";

constexpr const char* launcher_class = "tessavane/kestrova/launcher/Launcher";

// Whether the JVM is being created: its output is kept for the alert, and its abort hook fails the launch.
std::atomic<bool> creating_jvm{false};

// The user's file of JVM options when it added any to this start, for the failure of a JVM that
// refuses them. Written by the JVM thread before the JVM is created, and read on that thread or by
// the JVM's hooks while it is being created.
std::string user_options_file;

// The JVM's output hook: every text goes on to the stream the JVM chose, unchanged and flushed at
// once as the JVM's own unbuffered writes would be; while the JVM is being created, its tail is kept.
// The JVM's format strings are checked where they are written; the attribute says this passes them on.
__attribute__((format(printf, 2, 0))) jint JNICALL forward_jvm_output(FILE* stream, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int written = std::vfprintf(stream, format, args);
    std::fflush(stream);
    if (creating_jvm.load()) {
        char text[1024];
        const int length = std::vsnprintf(text, sizeof text, format, copy);
        if (length > 0)
            keep_jvm_creation_output({text, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1)});
    }
    va_end(copy);
    return written;
}

// The JVM's abort hook: the JVM calls it before it ends the process itself, which it does when its
// initialisation fails past the point of returning an error ("Error occurred during initialization
// of VM"). That too is a launch failure; a crash of the running application is not.
void JNICALL jvm_aborting();

// Released by the JVM thread once it has removed the Java option variables. The main thread waits
// for it before entering its event loop: libraries that start from there (libcurl and OpenSSL for an
// update check, Expat for a feed) call getenv, which glibc does not make safe against a concurrent
// unsetenv. Trivially destructible, so exit() never tears it down under a waiting thread.
std::binary_semaphore environment_settled{0};
static_assert(std::is_trivially_destructible_v<std::binary_semaphore>);

}  // namespace

// Ends the process with `status` as System.exit would: the application's shutdown hooks run (log
// appenders flush, deleteOnExit files go away), then the JVM halts and the process exits with that
// status. The JVM is neither detached nor destroyed, so its other threads are not waited for. Should
// the JVM refuse, the process exits all the same.
void exit_through_java(JNIEnv* env, int status) {
    jclass runtime_class = env->FindClass("java/lang/Runtime");
    if (runtime_class != nullptr && !env->ExceptionCheck()) {
        jmethodID get_runtime = env->GetStaticMethodID(runtime_class, "getRuntime", "()Ljava/lang/Runtime;");
        jmethodID exit_method = get_runtime != nullptr ? env->GetMethodID(runtime_class, "exit", "(I)V") : nullptr;
        jobject runtime = exit_method != nullptr ? env->CallStaticObjectMethod(runtime_class, get_runtime) : nullptr;
        // Returns only when it could not exit.
        if (runtime != nullptr && !env->ExceptionCheck()) env->CallVoidMethod(runtime, exit_method, status);
    }
    env->ExceptionClear();
    kestrova::platform::end_process(status);
}

namespace {

// The JVM calls this, once the application's shutdown hooks have run, to end the process with the
// status of System.exit or Runtime.halt: the end then goes through the platform, which knows whether
// an update transfer may still be running.
extern "C" void JNICALL end_process_for_jvm(jint status) { kestrova::platform::end_process(status); }

// A pending Java exception ends the launch: the JVM describes it on standard error.
void exit_if_exception(JNIEnv* env) {
    if (env->ExceptionOccurred() != nullptr) {
        env->ExceptionDescribe();
        exit_through_java(env, 1);
    }
}

// The throwable as Throwable.toString gives it: its class and message.
std::string describe_throwable(JNIEnv* env, jthrowable throwable) {
    std::string text = "A Java exception (its stack trace is on standard error)";
    jclass object_class = env->FindClass("java/lang/Object");
    jmethodID to_string = object_class != nullptr ? env->GetMethodID(object_class, "toString", "()Ljava/lang/String;")
                                                  : nullptr;
    auto described = to_string != nullptr ? static_cast<jstring>(env->CallObjectMethod(throwable, to_string)) : nullptr;
    if (described != nullptr && !env->ExceptionCheck()) {
        if (const char* chars = env->GetStringUTFChars(described, nullptr)) {
            text = kestrova::from_modified_utf8(chars);
            env->ReleaseStringUTFChars(described, chars);
        }
    }
    env->ExceptionClear();
    return text;
}

void JNICALL jvm_aborting() {
    if (!creating_jvm.exchange(false)) return;
    // The JVM's own reason is on its output; which file of the user's added options to it is not.
    // Nothing may escape into the JVM, which ends the process once this returns.
    std::string line;
    std::string_view advice;
    try {
        if (!user_options_file.empty()) {
            line = format_line(msg_user_options_refused, kestrova::user_options_note(user_options_file).c_str());
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        advice = kestrova::launch_failure_advice(line.empty() ? kestrova::jvm_creation_failure_line(JNI_ERR, {})
                                                              : line);
    } catch (...) {
        // Out of memory for the texts: the JVM's own words on its output are all there is.
    }
    tell_failed_launch({line, {}, advice});
}

// A pending Java exception before the application runs fails the launch: the JVM describes it on
// standard error, and a GUI user who does not see that gets it in the alert too.
void fail_launch_if_exception(JNIEnv* env, std::string_view advice) {
    jthrowable pending = env->ExceptionOccurred();
    if (pending == nullptr) return;
    env->ExceptionDescribe();
    const std::string description = describe_throwable(env, pending);
    fail_launch({{}, description, advice, false, nullptr, env});
}

jstring new_java_string(JNIEnv* env, const std::string& bytes) {
    return env->NewStringUTF(kestrova::to_modified_utf8(bytes).c_str());
}

[[noreturn]] void report_uncaught(JNIEnv* env, jthrowable escaped) {
    jclass launcher = env->FindClass(launcher_class);
    exit_if_exception(env);
    jmethodID from_exception = env->GetStaticMethodID(launcher, "fromException",
                                                      "(Ljava/lang/Throwable;)Ljava/lang/String;");
    exit_if_exception(env);
    auto text = static_cast<jstring>(env->CallStaticObjectMethod(launcher, from_exception, escaped));
    exit_if_exception(env);

    std::string message_copy;
    if (text != nullptr) {
        const char* chars = env->GetStringUTFChars(text, nullptr);
        exit_if_exception(env);
        if (chars == nullptr) kestrova::bail("%s", msg_out_of_memory);
        message_copy = kestrova::from_modified_utf8(chars);
        env->ReleaseStringUTFChars(text, chars);
    }

    jclass throwable = env->FindClass("java/lang/Throwable");
    exit_if_exception(env);
    jmethodID print_stack_trace = env->GetMethodID(throwable, "printStackTrace", "()V");
    exit_if_exception(env);
    env->CallVoidMethod(escaped, print_stack_trace);
    exit_if_exception(env);

    // A new version that dies at once in main has not shown it runs: it is put back as one that
    // failed before main, whose previous version then starts in its place.
    if (text == nullptr) {
        std::fprintf(stderr, "%s\n", msg_no_exception_text);
        fail_launch({msg_no_exception_text, {}, {}, true});
    }
    fail_launch({{}, {}, {}, true, message_copy.c_str(), env});
}

[[noreturn]] void hand_off(JavaVM* vm, JNIEnv* env, const kestrova::LaunchPlan& plan) {
    using kestrova::advice_default;
    using kestrova::advice_support_classes;
    jclass string_class = env->FindClass("java/lang/String");
    fail_launch_if_exception(env, advice_default);
    jobjectArray args = env->NewObjectArray(static_cast<jsize>(plan.arguments.size()), string_class, nullptr);
    fail_launch_if_exception(env, advice_default);
    jsize index = 0;
    for (const auto& arg : plan.arguments) env->SetObjectArrayElement(args, index++, new_java_string(env, arg));
    // Out of memory while filling the array would otherwise hand the application null elements.
    fail_launch_if_exception(env, advice_default);

    jclass launcher = env->FindClass(launcher_class);
    fail_launch_if_exception(env, advice_support_classes);
    jmethodID prepare = env->GetStaticMethodID(launcher, "prepare", "(Ljava/lang/String;)Ljava/lang/reflect/Method;");
    fail_launch_if_exception(env, advice_support_classes);
    jobject main_method = env->CallStaticObjectMethod(launcher, prepare, new_java_string(env, plan.main_class));
    // The main class missing, or without a main method: the exception's message says which.
    fail_launch_if_exception(env, advice_default);
    if (main_method == nullptr) kestrova::bail("%s", msg_no_main_method);
    jmethodID main_id = env->FromReflectedMethod(main_method);
    fail_launch_if_exception(env, advice_support_classes);
    // A static method is called on the class that declares it.
    jmethodID declaring_class = env->GetMethodID(env->GetObjectClass(main_method), "getDeclaringClass",
                                                 "()Ljava/lang/Class;");
    fail_launch_if_exception(env, advice_support_classes);
    jobject clazz = env->CallObjectMethod(main_method, declaring_class);
    fail_launch_if_exception(env, advice_support_classes);

    // The application runs from here: a new version is confirmed once it has shown it runs (the
    // update framework keeps the previous one until then); every way the process ends after this
    // (the main method returning, System.exit, an uncaught exception) first installs an update it
    // downloaded.
    kestrova::updates::application_starting();
    env->CallStaticVoidMethod(static_cast<jclass>(clazz), main_id, args);
    KESTROVA_BENCH_MARK("main-returned");
    jthrowable escaped = env->ExceptionOccurred();
    env->ExceptionClear();

    if (escaped == nullptr) {
        vm->DetachCurrentThread();
        // Returns only once the application's last non-daemon thread has ended.
        vm->DestroyJavaVM();
        kestrova::platform::end_process(0);
    }
    report_uncaught(env, escaped);
}

// The options the user keeps for this bundle, which the plan puts after the record's so that they
// win where the JVM takes the last of two; only when the bundle allows them. A file the launch
// cannot take must end it with the file (and the line) named, before the JVM would refuse it less
// clearly: that line is returned, for the caller to end the launch with once it may; empty when
// all is well.
std::string read_user_jvm_options(std::vector<std::string>& options) {
    namespace platform = kestrova::platform;
    if (!platform::info_dictionary_may_hold(kestrova::info_keys::user_jvm_options) ||
        platform::info_dictionary_string(kestrova::info_keys::user_jvm_options) != "YES")
        return {};
    const auto identifier = platform::info_dictionary_string(kestrova::info_keys::bundle_identifier);
    if (!identifier || identifier->empty()) return {};
    const std::string path = platform::user_jvm_options_file(*identifier);
    if (path.empty()) return {};
    const auto file = platform::read_user_file(path);
    if (!file.exists) return {};
    if (file.not_regular) return format_line(msg_user_options_not_a_file, path.c_str());
    if (file.error != 0) return format_line(msg_user_options_unreadable, path.c_str(), std::strerror(file.error));
    auto parsed = kestrova::parse_user_jvm_options(file.text);
    if (parsed.bad_line != 0)
        return format_line(msg_user_options_bad, path.c_str(), parsed.bad_line, parsed.problem.c_str());
    if (!parsed.options.empty()) user_options_file = path;
    options = std::move(parsed.options);
    return {};
}

// The JVM would take options from these as well as from the bundle.
void unset_java_option_variables() {
    for (const std::string_view name : kestrova::java_option_variables) unsetenv(std::string(name).c_str());
}

// The executable's own path; the launch ends when it cannot be had.
std::string own_executable_path() {
    char path[2048] = {};
    std::uint32_t size = sizeof path;
    const int result = kestrova::platform::get_executable_path(path, &size);
    if (result == kestrova::platform::executable_path_unreadable)
        kestrova::bail(msg_path_unreadable, std::strerror(errno));
    if (result != 0) kestrova::bail("%s", msg_path_too_long);
    return path;
}

// Plans this launch for `purpose` from the record and what surrounds it: the command line, the
// app directory beside `executable` (&&) and the user's home (~~). The launch ends when an option
// names a home that cannot be found. The plan lives until the process ends: the JVM's options
// point into it, and Java threads may still run while exit() destroys what is static.
kestrova::LaunchPlan& plan_this_launch(kestrova::LaunchPurpose purpose, std::span<const std::string> user_options,
                                       const std::string& executable, std::string_view class_list = {},
                                       std::string_view archive = {}) {
    std::string app_dir = kestrova::unresolved_app_dir(executable);
    if (char* resolved = realpath(app_dir.c_str(), nullptr)) {
        app_dir = resolved;
        std::free(resolved);
    }
    const std::string home = kestrova::platform::user_home_directory();
    const kestrova::LaunchInputs inputs{
        kestrova::command_line_arguments(), user_options, app_dir, home, class_list, archive};
    auto* plan = new kestrova::LaunchPlan(kestrova::plan_launch(kestrova::data, inputs, purpose));
    if (plan->home_missing) kestrova::bail("%s", msg_no_home);
    return *plan;
}

// Creates the JVM that `plan` describes: the host's hooks when the plan has them (output and
// abort let the alert quote the JVM's own reason when it refuses to start; exit ends the process
// the one safe way while an update transfer runs), then its options, then its class-data step's.
jint create_jvm(const kestrova::LaunchPlan& plan, JavaVM** vm, JNIEnv** env) {
    const std::size_t hook_count = plan.jvm_hooks ? 3 : 0;
    const std::size_t count = hook_count + plan.jvm_options.size() + plan.class_data_options.size();
    // Never freed, as the plan is not.
    auto* options = static_cast<JavaVMOption*>(std::calloc(count, sizeof(JavaVMOption)));
    if (options == nullptr) kestrova::bail("%s", msg_out_of_memory);
    std::size_t i = 0;
    if (plan.jvm_hooks) {
        options[i].optionString = const_cast<char*>("vfprintf");
        options[i++].extraInfo = reinterpret_cast<void*>(&forward_jvm_output);
        options[i].optionString = const_cast<char*>("abort");
        options[i++].extraInfo = reinterpret_cast<void*>(&jvm_aborting);
        options[i].optionString = const_cast<char*>("exit");
        options[i++].extraInfo = reinterpret_cast<void*>(&end_process_for_jvm);
    }
    for (const auto* list : {&plan.jvm_options, &plan.class_data_options})
        for (const auto& option : *list) options[i++].optionString = const_cast<char*>(option.c_str());
    JavaVMInitArgs init_args{};
    init_args.version = JNI_VERSION_1_8;
    init_args.nOptions = static_cast<jint>(count);
    init_args.options = options;
    init_args.ignoreUnrecognized = JNI_FALSE;
    return JNI_CreateJavaVM(vm, reinterpret_cast<void**>(env), &init_args);
}

}  // namespace

// The class-data helper's dump, in a child process of its own: a JVM created with the start's very
// options (those the archive is checked against when it is used: the record's and the user's) dumps
// the archive and ends the process. Its status when it returns instead.
int dump_class_data(const std::string& class_list, const std::string& archive) {
    std::vector<std::string> user_options;
    if (const auto failure = read_user_jvm_options(user_options); !failure.empty())
        kestrova::bail("%s", failure.c_str());
    unset_java_option_variables();
    const auto& plan = plan_this_launch(kestrova::LaunchPurpose::class_data_dump, user_options, own_executable_path(),
                                        class_list, archive);
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    return create_jvm(plan, &vm, &env) == JNI_OK ? 0 : 1;
}

void* run_jvm(void*) {
    // Read while the main thread waits for the environment to settle, before anything unsets it.
    std::vector<std::string> user_options;
    const std::string user_options_failure = read_user_jvm_options(user_options);
    unset_java_option_variables();
    environment_settled.release();
    // Only now: the alert a GUI start shows for it runs on the main thread, which waits until then.
    if (!user_options_failure.empty()) kestrova::bail("%s", user_options_failure.c_str());

    const std::string executable = own_executable_path();
    auto& plan = plan_this_launch(kestrova::LaunchPurpose::application, user_options, executable);
    if (plan.class_data == kestrova::ClassDataStep::chosen_at_start)
        plan.class_data_options = kestrova::class_data_start_options(plan.jvm_options, kestrova::data.console,
                                                                     executable);

    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    KESTROVA_BENCH_MARK("create-jvm");
    creating_jvm.store(true);
    const jint result = create_jvm(plan, &vm, &env);
    creating_jvm.store(false);
    KESTROVA_BENCH_MARK("jvm-created");
    if (result != JNI_OK) kestrova::bail("%s", kestrova::jvm_creation_failure_line(result, user_options_file).c_str());
    forget_jvm_creation_output();

    kestrova::updates::register_update_bridge(env);
    hand_off(vm, env, plan);
}

void wait_for_settled_environment() { environment_settled.acquire(); }

}  // namespace kestrova
