// A stand-in for the Java runtime's side of JNI, for calling our natives without a JVM (there is no
// Windows Java runtime here). It implements the JNI functions our natives use over a small object
// model of its own; any other JNI function aborts the test program with its slot number, so a native
// that starts using a new function is noticed at once.
#pragma once

#include <jni.h>
#include <windows.h>

#include <array>
#include <cstdarg>
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
    // From now on GetStringChars gives no characters of `string`, as a runtime out of memory does:
    // null, with OutOfMemoryError pending.
    void RefuseChars(jstring string);
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
    std::vector<jstring> refusedChars_;

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
    void NoteReleased(jstring string, const void* chars);

    static jsize JNICALL GetArrayLengthImpl(JNIEnv*, jarray);
    static jobject JNICALL GetObjectArrayElementImpl(JNIEnv*, jobjectArray, jsize);

    std::vector<std::pair<const void*, jstring>> takenChars_;
    std::vector<jstring> releasedStrings_;
    std::vector<std::string> releaseProblems_;
    std::vector<jobject> liveElementRefs_;

    // --- Classes, methods, objects and the pending exception ----------------------------------
    // The fake knows two classes: java/util/Vector with add (Ljava/lang/Object;)Z, and
    // com/brennick/util/FileTime with its constructor (IIIIII)V. Looking up anything else fails as
    // the runtime does: null, with NoClassDefFoundError or NoSuchMethodError pending. References
    // made by JNI functions (strings, class references, new objects) are counted as live local
    // references until DeleteLocalRef; characters taken from strings until they are released.
public:
    // Makes FindClass, or GetMethodID, fail for this class or method from now on.
    void RemoveClass(const std::string& name);
    void RemoveMethod(const std::string& className, const std::string& name, const std::string& descriptor);

    // A java.util.Vector holding these strings, as a caller would pass it.
    jobject NewVector(const std::vector<std::u16string>& elements);
    // The elements of a vector, each of which must be a string.
    std::vector<std::u16string> VectorTexts(jobject vector) const;
    // Year, month, day, hour, minute, second of an object made with the FileTime constructor; a test
    // failure if it is not one.
    std::array<jint, 6> FileTimeFields(jobject fileTime) const;

    // The class name of the pending exception, or empty.
    std::string PendingException() const;
    // Every use JNI forbids, in order: a Java call while an exception is pending, an object or
    // method ID that the fake did not hand out, a method called on the wrong object.
    std::vector<std::string> Misuses() const;
    std::size_t LiveLocalRefs() const;
    // Characters not yet released, and every release that did not match a take (ReleaseProblems).
    std::size_t CharsNotReleased() const;

private:
    struct MethodInfo {
        std::string name, descriptor;
        bool present = true;
    };
    struct ClassInfo {
        std::string name;
        bool present = true;
        std::vector<std::unique_ptr<MethodInfo>> methods;
    };
    struct ClassRef : Object {
        ClassInfo* info;
    };
    struct Vector : Object {
        std::vector<jobject> elements;
    };
    struct FileTime : Object {
        std::array<jint, 6> fields{};
    };

    template <typename T>
    T* As(jobject object) const;
    ClassInfo* FindClassInfo(const std::string& name) const;
    MethodInfo* FindMethodInfo(const std::string& className, const std::string& name,
                               const std::string& descriptor) const;
    jobject MadeLocal(jobject ref);
    // Records the call as a misuse when an exception is pending; true when the call may go on.
    bool MayCallJava(const char* function);
    void Misuse(const std::string& what);
    void Throw(const std::string& className);

    static jclass JNICALL FindClassImpl(JNIEnv*, const char*);
    static jmethodID JNICALL GetMethodIDImpl(JNIEnv*, jclass, const char*, const char*);
    static jobject JNICALL NewObjectImpl(JNIEnv*, jclass, jmethodID, ...);
    static jobject JNICALL NewObjectVImpl(JNIEnv*, jclass, jmethodID, va_list);
    static jboolean JNICALL CallBooleanMethodImpl(JNIEnv*, jobject, jmethodID, ...);
    static jboolean JNICALL CallBooleanMethodVImpl(JNIEnv*, jobject, jmethodID, va_list);

    std::vector<std::unique_ptr<ClassInfo>> classes_;
    ClassInfo* vectorClass_ = nullptr;
    ClassInfo* fileTimeClass_ = nullptr;
    MethodInfo* vectorAdd_ = nullptr;
    MethodInfo* fileTimeConstructor_ = nullptr;
    std::string pendingException_;
    std::vector<std::string> misuses_;
    std::vector<jobject> liveLocalRefs_;
};

// Java's modified UTF-8 (U+0000 as two bytes, supplementary characters as two three-byte halves).
std::string ToModifiedUtf8(const std::u16string& text);
std::u16string FromModifiedUtf8(const char* bytes);

}  // namespace ql::test
