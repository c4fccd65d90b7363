# Finds the JDK the launcher is built against: its JNI headers, its libjvm, and javac/jar for the
# Java-side classes. The JDK is the one whose javac is found first, unless KESTROVA_JAVA_HOME says.
find_package(Java 17 REQUIRED COMPONENTS Development)
include(UseJava)

if(NOT KESTROVA_JAVA_HOME)
  get_filename_component(_kestrova_javac "${Java_JAVAC_EXECUTABLE}" REALPATH)
  get_filename_component(_kestrova_jdk_bin "${_kestrova_javac}" DIRECTORY)
  get_filename_component(_kestrova_jdk "${_kestrova_jdk_bin}" DIRECTORY)
  set(KESTROVA_JAVA_HOME "${_kestrova_jdk}" CACHE PATH "JDK to build against and to bundle in tests")
endif()

set(KESTROVA_LIBJVM "${KESTROVA_JAVA_HOME}/lib/server/libjvm.so")
if(NOT EXISTS "${KESTROVA_LIBJVM}" OR NOT EXISTS "${KESTROVA_JAVA_HOME}/include/jni.h")
  message(FATAL_ERROR "No JDK with JNI headers and lib/server/libjvm.so at ${KESTROVA_JAVA_HOME}; "
                      "install openjdk-17-jdk-headless or set KESTROVA_JAVA_HOME")
endif()

add_library(kestrova_jni INTERFACE)
target_include_directories(kestrova_jni SYSTEM INTERFACE
  "${KESTROVA_JAVA_HOME}/include" "${KESTROVA_JAVA_HOME}/include/linux")
