// The JVM host: the thread that plans the launch, creates the JVM and runs the application, and
// the class-data helper's dump; both end the process rather than return.
#pragma once

#include <jni.h>

#include <string>

namespace kestrova {

// The JVM thread (or the main thread, when the record says so): reads the user's JVM options,
// settles the environment, creates the JVM and runs the application's main method. Never returns.
void* run_jvm(void*);

// Waits until the JVM thread has removed the Java option variables from the environment: what the
// main thread starts from its event loop calls getenv, which is not safe against a concurrent unsetenv.
void wait_for_settled_environment();

// The class-data helper's dump (platform/class_data_cache.h), in a child process of its own: a JVM
// created with the start's very options dumps the archive and ends the process. Its status when it
// returns instead.
int dump_class_data(const std::string& class_list, const std::string& archive);

// Ends the process with `status` as System.exit would: the application's shutdown hooks run, then
// the JVM halts. Should the JVM refuse, the process exits all the same.
[[noreturn]] void exit_through_java(JNIEnv* env, int status);

}  // namespace kestrova
