// The native half of nativeprobe.NativeProbe: a library that only a JAR's System.loadLibrary names.
#include <jni.h>

extern "C" JNIEXPORT jint JNICALL Java_nativeprobe_NativeProbe_answer(JNIEnv*, jclass) { return 42; }
