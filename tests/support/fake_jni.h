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

    // --- Object arrays, and accounting of taken characters and local references --------------
public:
    // A String[] of these texts; its elements are strings of this fake.
    jobjectArray NewStringArray(const std::vector<std::u16string>& texts);
    // An array whose length reads as `claimedLength` but that holds no element: for natives that
    // must survive failing to allocate room for that many.
    jobjectArray NewOversizedArray(jsize claimedLength);

    // Characters taken with GetStringChars or GetStringUTFChars and not yet released.
    int OutstandingChars() const;
    // The strings whose characters were released, in release order.
    std::vector<jstring> ReleasedStrings() const;
    // Releases that did not match a take: unknown characters, or given back against another string.
    std::vector<std::string> ReleaseProblems() const;
    // Local references that GetObjectArrayElement handed out and DeleteLocalRef did not delete.
    int LiveElementRefs() const;

private:
    struct ObjectArray : Object {
        std::vector<jobject> elements;
        jsize length = 0;
    };
    const ObjectArray* AsArray(jobject object) const;
    void NoteTaken(jstring string, const void* chars);
    void NoteReleased(jstring string, const void* chars);

    static jsize JNICALL GetArrayLengthImpl(JNIEnv*, jarray);
    static jobject JNICALL GetObjectArrayElementImpl(JNIEnv*, jobjectArray, jsize);
    static const jchar* JNICALL GetStringCharsCountedImpl(JNIEnv*, jstring, jboolean*);
    static void JNICALL ReleaseStringCharsCountedImpl(JNIEnv*, jstring, const jchar*);
    static const char* JNICALL GetStringUTFCharsCountedImpl(JNIEnv*, jstring, jboolean*);
    static void JNICALL ReleaseStringUTFCharsCountedImpl(JNIEnv*, jstring, const char*);
    static void JNICALL DeleteLocalRefCountedImpl(JNIEnv*, jobject);

    std::vector<std::pair<const void*, jstring>> takenChars_;
    std::vector<jstring> releasedStrings_;
    std::vector<std::string> releaseProblems_;
    std::vector<jobject> liveElementRefs_;
};

// Java's modified UTF-8 (U+0000 as two bytes, supplementary characters as two three-byte halves).
std::string ToModifiedUtf8(const std::u16string& text);
std::u16string FromModifiedUtf8(const char* bytes);

}  // namespace ql::test
