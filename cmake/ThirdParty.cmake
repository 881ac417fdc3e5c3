# Header-only outside code, copied into the build tree so that a cross build never puts the host's
# /usr/include on its include path: doctest (Debian's doctest-dev) and jni.h (Debian's OpenJDK).
set(QL_THIRDPARTY_INCLUDE ${CMAKE_BINARY_DIR}/thirdparty/include)

find_file(QL_DOCTEST_HEADER doctest.h PATHS /usr/include/doctest NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QL_DOCTEST_HEADER)
  message(FATAL_ERROR "doctest.h not found: run tools/setup.sh (Debian package doctest-dev)")
endif()
file(COPY ${QL_DOCTEST_HEADER} DESTINATION ${QL_THIRDPARTY_INCLUDE}/doctest)

file(GLOB QL_JNI_CANDIDATES /usr/lib/jvm/java-*-openjdk-*/include/jni.h /usr/lib/jvm/default-java/include/jni.h)
list(SORT QL_JNI_CANDIDATES)
if(NOT QL_JNI_CANDIDATES)
  message(FATAL_ERROR "jni.h not found: run tools/setup.sh (Debian package openjdk-17-jdk-headless)")
endif()
list(GET QL_JNI_CANDIDATES 0 QL_JNI_HEADER)
file(COPY ${QL_JNI_HEADER} DESTINATION ${QL_THIRDPARTY_INCLUDE}/jni)
get_filename_component(QL_JDK_HOME ${QL_JNI_HEADER} DIRECTORY)
get_filename_component(QL_JDK_HOME ${QL_JDK_HOME} DIRECTORY)
find_program(QL_JAVAC javac HINTS ${QL_JDK_HOME}/bin NO_CMAKE_FIND_ROOT_PATH)
