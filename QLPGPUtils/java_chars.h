// Characters of Java strings taken for the length of one native call, as UTF-16 text.
#pragma once

#include <jni.h>

#include <new>
#include <string>
#include <utility>
#include <vector>

namespace ql {

// GetStringChars gave nothing: the runtime has an OutOfMemoryError pending, and no JNI call but
// releases may follow until the native has returned.
struct JavaCharsRefused : std::bad_alloc {};

// Every string whose characters were taken, with those characters, in the order taken; each pair is
// given back to Java with ReleaseStringChars, in that same order, when the list goes out of scope.
class JavaCharsList {
public:
    explicit JavaCharsList(JNIEnv* env) : env_(env) {}
    JavaCharsList(const JavaCharsList&) = delete;
    JavaCharsList& operator=(const JavaCharsList&) = delete;
    ~JavaCharsList() {
        for (const auto& [string, chars] : taken_) {
            if (chars != nullptr) env_->ReleaseStringChars(string, chars);
        }
    }

    void Reserve(std::size_t count) { taken_.reserve(count); }

    // The string's text. GetStringChars promises no terminator, so the text is copied by its length.
    // A null string reads as empty. Throws JavaCharsRefused when the runtime gives no characters and
    // std::bad_alloc when memory runs out; whatever was taken stays recorded.
    std::wstring Take(jstring string) {
        static_assert(sizeof(wchar_t) == sizeof(jchar));
        if (string == nullptr) return {};
        // The slot is made first, so taking the characters never needs memory it might not get.
        taken_.emplace_back(string, nullptr);
        const jchar* chars = env_->GetStringChars(string, nullptr);
        if (chars == nullptr) throw JavaCharsRefused();
        taken_.back().second = chars;
        const jsize length = env_->GetStringLength(string);
        return std::wstring(reinterpret_cast<const wchar_t*>(chars), static_cast<std::size_t>(length));
    }

private:
    JNIEnv* env_;
    std::vector<std::pair<jstring, const jchar*>> taken_;
};

}  // namespace ql
