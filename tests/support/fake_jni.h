// A stand-in for the Java runtime's side of JNI, for calling our natives without a JVM (there is no
// Windows Java runtime here). It implements the JNI functions our natives use over a small object
// model of its own; any other JNI function aborts the test program with its slot number, so a native
// that starts using a new function is noticed at once.
#pragma once

#include <jni.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ql::test {

class FakeJvm {
public:
    FakeJvm();
    FakeJvm(const FakeJvm&) = delete;
    FakeJvm& operator=(const FakeJvm&) = delete;

    // One environment for every thread: the fake serialises its own state.
    JNIEnv* env() { return &block_.env; }

    jstring NewString(const std::u16string& text);
    // The UTF-16 text of a string made by a native or by NewString; a test failure if not a string.
    std::u16string Text(jstring string) const;
    // The same text as UTF-8, for messages and comparisons with ASCII literals.
    std::string Utf8(jstring string) const;

private:
    struct Object {
        virtual ~Object() = default;
    };
    struct String : Object {
        std::u16string text;
    };
    struct EnvBlock {
        JNIEnv env;
        FakeJvm* owner;
    };

    static FakeJvm& Of(JNIEnv* env) { return *reinterpret_cast<EnvBlock*>(env)->owner; }
    jobject Keep(std::unique_ptr<Object> object);
    const String* AsString(jobject object) const;

    static jstring JNICALL NewStringImpl(JNIEnv*, const jchar*, jsize);
    static jstring JNICALL NewStringUTFImpl(JNIEnv*, const char*);
    static jsize JNICALL GetStringLengthImpl(JNIEnv*, jstring);
    static const jchar* JNICALL GetStringCharsImpl(JNIEnv*, jstring, jboolean*);
    static void JNICALL ReleaseStringCharsImpl(JNIEnv*, jstring, const jchar*);
    static jsize JNICALL GetStringUTFLengthImpl(JNIEnv*, jstring);
    static const char* JNICALL GetStringUTFCharsImpl(JNIEnv*, jstring, jboolean*);
    static void JNICALL ReleaseStringUTFCharsImpl(JNIEnv*, jstring, const char*);
    static void JNICALL DeleteLocalRefImpl(JNIEnv*, jobject);
    static jboolean JNICALL ExceptionCheckImpl(JNIEnv*);

    JNINativeInterface_ functions_{};
    EnvBlock block_{};
    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<Object>> objects_;
};

// Java's modified UTF-8 (U+0000 as two bytes, supplementary characters as two three-byte halves).
std::string ToModifiedUtf8(const std::u16string& text);
std::u16string FromModifiedUtf8(const char* bytes);

}  // namespace ql::test
