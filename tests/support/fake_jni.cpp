#include "fake_jni.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ql::test {

namespace {

constexpr std::size_t kSlotCount = sizeof(JNINativeInterface_) / sizeof(void*);

// Unimplemented slots all point here. The caller's arguments are never looked at, and the process
// ends at once, so the mismatched calling convention cannot do harm.
[[noreturn]] void UnexpectedJniCall() {
    std::fputs("fake JNI: a native called a JNI function the fake does not provide\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

FakeJvm::FakeJvm() {
    void** slots = reinterpret_cast<void**>(&functions_);
    for (std::size_t i = 0; i < kSlotCount; ++i) slots[i] = reinterpret_cast<void*>(&UnexpectedJniCall);
    for (std::size_t i = 0; i < 4; ++i) slots[i] = nullptr;  // reserved0..3

    functions_.NewString = &NewStringImpl;
    functions_.NewStringUTF = &NewStringUTFImpl;
    functions_.GetStringLength = &GetStringLengthImpl;
    functions_.GetStringChars = &GetStringCharsImpl;
    functions_.ReleaseStringChars = &ReleaseStringCharsImpl;
    functions_.GetStringUTFLength = &GetStringUTFLengthImpl;
    functions_.GetStringUTFChars = &GetStringUTFCharsImpl;
    functions_.ReleaseStringUTFChars = &ReleaseStringUTFCharsImpl;
    functions_.DeleteLocalRef = &DeleteLocalRefImpl;
    functions_.ExceptionCheck = &ExceptionCheckImpl;

    block_.env.functions = &functions_;
    block_.owner = this;
}

jobject FakeJvm::Keep(std::unique_ptr<Object> object) {
    std::lock_guard lock(mutex_);
    objects_.push_back(std::move(object));
    return reinterpret_cast<jobject>(objects_.back().get());
}

const FakeJvm::String* FakeJvm::AsString(jobject object) const {
    std::lock_guard lock(mutex_);
    for (const auto& kept : objects_) {
        if (reinterpret_cast<jobject>(kept.get()) == object) {
            if (auto* string = dynamic_cast<const String*>(kept.get())) return string;
        }
    }
    std::fprintf(stderr, "fake JNI: %p is not a string of this fake\n", static_cast<void*>(object));
    std::abort();
}

jstring FakeJvm::NewString(const std::u16string& text) {
    auto string = std::make_unique<String>();
    string->text = text;
    return static_cast<jstring>(Keep(std::move(string)));
}

std::u16string FakeJvm::Text(jstring string) const { return AsString(string)->text; }

std::string FakeJvm::Utf8(jstring string) const {
    // Modified UTF-8 equals UTF-8 for everything a test compares with.
    return ToModifiedUtf8(Text(string));
}

jstring JNICALL FakeJvm::NewStringImpl(JNIEnv* env, const jchar* chars, jsize length) {
    if (length < 0 || (length > 0 && chars == nullptr)) UnexpectedJniCall();
    return Of(env).NewString(std::u16string(reinterpret_cast<const char16_t*>(chars), length));
}

jstring JNICALL FakeJvm::NewStringUTFImpl(JNIEnv* env, const char* bytes) {
    if (bytes == nullptr) return nullptr;
    return Of(env).NewString(FromModifiedUtf8(bytes));
}

jsize JNICALL FakeJvm::GetStringLengthImpl(JNIEnv* env, jstring string) {
    return static_cast<jsize>(Of(env).AsString(string)->text.size());
}

const jchar* JNICALL FakeJvm::GetStringCharsImpl(JNIEnv* env, jstring string, jboolean* isCopy) {
    const std::u16string& text = Of(env).AsString(string)->text;
    auto* copy = new jchar[text.size() + 1];
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(jchar));
    if (isCopy) *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL FakeJvm::ReleaseStringCharsImpl(JNIEnv*, jstring, const jchar* chars) { delete[] chars; }

jsize JNICALL FakeJvm::GetStringUTFLengthImpl(JNIEnv* env, jstring string) {
    return static_cast<jsize>(ToModifiedUtf8(Of(env).AsString(string)->text).size());
}

const char* JNICALL FakeJvm::GetStringUTFCharsImpl(JNIEnv* env, jstring string, jboolean* isCopy) {
    std::string bytes = ToModifiedUtf8(Of(env).AsString(string)->text);
    auto* copy = new char[bytes.size() + 1];
    std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
    if (isCopy) *isCopy = JNI_TRUE;
    return copy;
}

void JNICALL FakeJvm::ReleaseStringUTFCharsImpl(JNIEnv*, jstring, const char* chars) { delete[] chars; }

void JNICALL FakeJvm::DeleteLocalRefImpl(JNIEnv*, jobject) {}

jboolean JNICALL FakeJvm::ExceptionCheckImpl(JNIEnv*) { return JNI_FALSE; }

std::string ToModifiedUtf8(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        if (unit != 0 && unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit < 0x800) {
            out += static_cast<char>(0xC0 | (unit >> 6));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (unit >> 12));
            out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return out;
}

std::u16string FromModifiedUtf8(const char* bytes) {
    std::u16string out;
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t i = 0; bytes[i] != '\0';) {
        unsigned char lead = at(i);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            i += 1;
        } else if ((lead & 0xE0) == 0xC0 && (at(i + 1) & 0xC0) == 0x80) {
            out += static_cast<char16_t>(((lead & 0x1F) << 6) | (at(i + 1) & 0x3F));
            i += 2;
        } else if ((lead & 0xF0) == 0xE0 && (at(i + 1) & 0xC0) == 0x80 && (at(i + 2) & 0xC0) == 0x80) {
            out += static_cast<char16_t>(((lead & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
            i += 3;
        } else {
            // Not modified UTF-8: the real runtime's result is undefined; mark it visibly.
            out += u'\uFFFD';
            i += 1;
        }
    }
    return out;
}

}  // namespace ql::test
