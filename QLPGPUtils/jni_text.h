// Java strings crossing into the wide Win32 calls and back, as UTF-16 throughout: paths, titles and
// folder names beyond ASCII arrive as they are, whatever the system's ANSI code page.
#pragma once

#include <jni.h>

#include <cstddef>
#include <string>

namespace ql {

static_assert(sizeof(wchar_t) == sizeof(jchar), "Windows wide text is UTF-16, as Java strings are");

// The characters of one Java string, taken with GetStringChars and released with ReleaseStringChars
// when the owner goes. JNI does not terminate them, so the owner keeps a terminated copy for Win32.
class JavaChars {
public:
    JavaChars(JNIEnv* env, jstring string) : env_(env), string_(string) {
        if (string_ == nullptr) return;
        chars_ = env_->GetStringChars(string_, nullptr);
        if (chars_ == nullptr) return;
        const jsize length = env_->GetStringLength(string_);
        try {
            text_.assign(reinterpret_cast<const wchar_t*>(chars_), static_cast<std::size_t>(length));
            usable_ = text_.find(L'\0') == std::wstring::npos;
        } catch (...) {
            // No memory for the copy: the characters are still released by the destructor.
            usable_ = false;
        }
    }
    ~JavaChars() {
        if (chars_ != nullptr) env_->ReleaseStringChars(string_, chars_);
    }
    JavaChars(const JavaChars&) = delete;
    JavaChars& operator=(const JavaChars&) = delete;

    // False when the runtime gave no characters (a null string, or no memory), and for text with a
    // U+0000 in it: Win32 would read such a path or title only up to that character, so it could name
    // a different file than the caller meant.
    bool usable() const { return usable_; }
    const wchar_t* get() const { return text_.c_str(); }

private:
    JNIEnv* env_;
    jstring string_;
    const jchar* chars_ = nullptr;
    std::wstring text_;
    bool usable_ = false;
};

// A new Java string of `length` UTF-16 units; null (with the runtime's exception pending) when the
// runtime has no memory for it.
inline jstring NewJavaString(JNIEnv* env, const wchar_t* text, std::size_t length) {
    return env->NewString(reinterpret_cast<const jchar*>(text), static_cast<jsize>(length));
}

// Deletes a local reference when it goes, so a native hands back to the runtime every reference it
// made but does not return.
class LocalRef {
public:
    LocalRef(JNIEnv* env, jobject ref) : env_(env), ref_(ref) {}
    ~LocalRef() {
        if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
    }
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;
    jobject get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

private:
    JNIEnv* env_;
    jobject ref_;
};

}  // namespace ql
