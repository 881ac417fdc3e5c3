#include "fake_jni.h"

#include <algorithm>
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

    functions_.GetArrayLength = &GetArrayLengthImpl;
    functions_.GetObjectArrayElement = &GetObjectArrayElementImpl;

    block_.env.functions = &functions_;
    block_.owner = this;

    // Classes, methods and objects.
    functions_.FindClass = &FindClassImpl;
    functions_.GetMethodID = &GetMethodIDImpl;
    functions_.NewObject = &NewObjectImpl;
    functions_.NewObjectV = &NewObjectVImpl;
    functions_.CallBooleanMethod = &CallBooleanMethodImpl;
    functions_.CallBooleanMethodV = &CallBooleanMethodVImpl;
    auto define = [this](const std::string& name, const std::string& method, const std::string& descriptor,
                         ClassInfo*& info, MethodInfo*& methodInfo) {
        classes_.push_back(std::make_unique<ClassInfo>());
        info = classes_.back().get();
        info->name = name;
        info->methods.push_back(std::make_unique<MethodInfo>());
        methodInfo = info->methods.back().get();
        methodInfo->name = method;
        methodInfo->descriptor = descriptor;
    };
    define("java/util/Vector", "add", "(Ljava/lang/Object;)Z", vectorClass_, vectorAdd_);
    define("com/brennick/util/FileTime", "<init>", "(IIIIII)V", fileTimeClass_, fileTimeConstructor_);
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
    // The runtime reads through `chars` whatever the length (a checking runtime refuses null).
    if (length < 0 || chars == nullptr) UnexpectedJniCall();
    if (!Of(env).MayCallJava("NewString")) return nullptr;
    return static_cast<jstring>(
        Of(env).MadeLocal(Of(env).NewString(std::u16string(reinterpret_cast<const char16_t*>(chars), length))));
}

jstring JNICALL FakeJvm::NewStringUTFImpl(JNIEnv* env, const char* bytes) {
    if (bytes == nullptr) return nullptr;
    if (!Of(env).MayCallJava("NewStringUTF")) return nullptr;
    return static_cast<jstring>(Of(env).MadeLocal(Of(env).NewString(FromModifiedUtf8(bytes))));
}

jsize JNICALL FakeJvm::GetStringLengthImpl(JNIEnv* env, jstring string) {
    return static_cast<jsize>(Of(env).AsString(string)->text.size());
}

void FakeJvm::RefuseChars(jstring string) {
    std::lock_guard lock(mutex_);
    refusedChars_.push_back(string);
}

const jchar* JNICALL FakeJvm::GetStringCharsImpl(JNIEnv* env, jstring string, jboolean* isCopy) {
    {
        FakeJvm& jvm = Of(env);
        std::lock_guard lock(jvm.mutex_);
        if (std::find(jvm.refusedChars_.begin(), jvm.refusedChars_.end(), string) != jvm.refusedChars_.end()) {
            jvm.Throw("java/lang/OutOfMemoryError");
            return nullptr;
        }
    }
    const std::u16string& text = Of(env).AsString(string)->text;
    auto* copy = new jchar[text.size() + 1];
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(jchar));
    if (isCopy) *isCopy = JNI_TRUE;
    std::lock_guard lock(Of(env).mutex_);
    Of(env).takenChars_.emplace_back(copy, string);
    return copy;
}

void JNICALL FakeJvm::ReleaseStringCharsImpl(JNIEnv* env, jstring string, const jchar* chars) {
    Of(env).NoteReleased(string, chars);
    delete[] chars;
}

jsize JNICALL FakeJvm::GetStringUTFLengthImpl(JNIEnv* env, jstring string) {
    return static_cast<jsize>(ToModifiedUtf8(Of(env).AsString(string)->text).size());
}

const char* JNICALL FakeJvm::GetStringUTFCharsImpl(JNIEnv* env, jstring string, jboolean* isCopy) {
    std::string bytes = ToModifiedUtf8(Of(env).AsString(string)->text);
    auto* copy = new char[bytes.size() + 1];
    std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
    if (isCopy) *isCopy = JNI_TRUE;
    std::lock_guard lock(Of(env).mutex_);
    Of(env).takenChars_.emplace_back(copy, string);
    return copy;
}

void JNICALL FakeJvm::ReleaseStringUTFCharsImpl(JNIEnv* env, jstring string, const char* chars) {
    Of(env).NoteReleased(string, chars);
    delete[] chars;
}

void JNICALL FakeJvm::DeleteLocalRefImpl(JNIEnv* env, jobject ref) {
    FakeJvm& jvm = Of(env);
    std::lock_guard lock(jvm.mutex_);
    // One count of an array element's reference (one per GetObjectArrayElement), one of any other.
    for (auto* refs : {&jvm.liveElementRefs_, &jvm.liveLocalRefs_}) {
        auto live = std::find(refs->begin(), refs->end(), ref);
        if (live != refs->end()) refs->erase(live);
    }
}

jboolean JNICALL FakeJvm::ExceptionCheckImpl(JNIEnv* env) {
    std::lock_guard lock(Of(env).mutex_);
    return Of(env).pendingException_.empty() ? JNI_FALSE : JNI_TRUE;
}

// --- Classes, methods, objects and the pending exception -------------------------------------

void FakeJvm::RemoveClass(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (ClassInfo* info = FindClassInfo(name)) info->present = false;
}

void FakeJvm::RemoveMethod(const std::string& className, const std::string& name, const std::string& descriptor) {
    std::lock_guard lock(mutex_);
    if (MethodInfo* method = FindMethodInfo(className, name, descriptor)) method->present = false;
}

jobject FakeJvm::NewVector(const std::vector<std::u16string>& elements) {
    auto vector = std::make_unique<Vector>();
    for (const auto& text : elements) vector->elements.push_back(NewString(text));
    return Keep(std::move(vector));
}

std::vector<std::u16string> FakeJvm::VectorTexts(jobject vector) const {
    std::lock_guard lock(mutex_);
    const Vector* found = As<Vector>(vector);
    if (found == nullptr) {
        std::fprintf(stderr, "fake JNI: %p is not a vector of this fake\n", static_cast<void*>(vector));
        std::abort();
    }
    std::vector<std::u16string> texts;
    for (jobject element : found->elements) texts.push_back(Text(static_cast<jstring>(element)));
    return texts;
}

std::array<jint, 6> FakeJvm::FileTimeFields(jobject fileTime) const {
    std::lock_guard lock(mutex_);
    const FileTime* found = As<FileTime>(fileTime);
    if (found == nullptr) {
        std::fprintf(stderr, "fake JNI: %p is not a FileTime of this fake\n", static_cast<void*>(fileTime));
        std::abort();
    }
    return found->fields;
}

std::string FakeJvm::PendingException() const {
    std::lock_guard lock(mutex_);
    return pendingException_;
}

std::vector<std::string> FakeJvm::Misuses() const {
    std::lock_guard lock(mutex_);
    return misuses_;
}

std::size_t FakeJvm::LiveLocalRefs() const {
    std::lock_guard lock(mutex_);
    return liveLocalRefs_.size();
}

std::size_t FakeJvm::CharsNotReleased() const {
    std::lock_guard lock(mutex_);
    return takenChars_.size() + releaseProblems_.size();
}

template <typename T>
T* FakeJvm::As(jobject object) const {
    if (object == nullptr) return nullptr;
    for (const auto& kept : objects_) {
        if (reinterpret_cast<jobject>(kept.get()) == object) return dynamic_cast<T*>(kept.get());
    }
    return nullptr;
}

FakeJvm::ClassInfo* FakeJvm::FindClassInfo(const std::string& name) const {
    for (const auto& info : classes_) {
        if (info->name == name) return info.get();
    }
    return nullptr;
}

FakeJvm::MethodInfo* FakeJvm::FindMethodInfo(const std::string& className, const std::string& name,
                                             const std::string& descriptor) const {
    ClassInfo* info = FindClassInfo(className);
    if (info == nullptr) return nullptr;
    for (const auto& method : info->methods) {
        if (method->name == name && method->descriptor == descriptor) return method.get();
    }
    return nullptr;
}

jobject FakeJvm::MadeLocal(jobject ref) {
    std::lock_guard lock(mutex_);
    if (ref != nullptr) liveLocalRefs_.push_back(ref);
    return ref;
}

bool FakeJvm::MayCallJava(const char* function) {
    std::lock_guard lock(mutex_);
    if (pendingException_.empty()) return true;
    Misuse(std::string(function) + " called with " + pendingException_ + " pending");
    return false;
}

void FakeJvm::Misuse(const std::string& what) {
    std::lock_guard lock(mutex_);
    misuses_.push_back(what);
}

void FakeJvm::Throw(const std::string& className) {
    std::lock_guard lock(mutex_);
    pendingException_ = className;
}

jclass JNICALL FakeJvm::FindClassImpl(JNIEnv* env, const char* name) {
    FakeJvm& jvm = Of(env);
    std::lock_guard lock(jvm.mutex_);
    if (!jvm.MayCallJava("FindClass")) return nullptr;
    ClassInfo* info = name ? jvm.FindClassInfo(name) : nullptr;
    if (info == nullptr || !info->present) {
        jvm.Throw("java/lang/NoClassDefFoundError");
        return nullptr;
    }
    auto ref = std::make_unique<ClassRef>();
    ref->info = info;
    return static_cast<jclass>(jvm.MadeLocal(jvm.Keep(std::move(ref))));
}

jmethodID JNICALL FakeJvm::GetMethodIDImpl(JNIEnv* env, jclass clazz, const char* name, const char* descriptor) {
    FakeJvm& jvm = Of(env);
    std::lock_guard lock(jvm.mutex_);
    if (!jvm.MayCallJava("GetMethodID")) return nullptr;
    const ClassRef* ref = jvm.As<ClassRef>(clazz);
    if (ref == nullptr || name == nullptr || descriptor == nullptr) {
        jvm.Misuse("GetMethodID on something that is not a class reference");
        return nullptr;
    }
    MethodInfo* method = jvm.FindMethodInfo(ref->info->name, name, descriptor);
    if (method == nullptr || !method->present) {
        jvm.Throw("java/lang/NoSuchMethodError");
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(method);
}

jobject JNICALL FakeJvm::NewObjectImpl(JNIEnv* env, jclass clazz, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    jobject made = NewObjectVImpl(env, clazz, method, args);
    va_end(args);
    return made;
}

jobject JNICALL FakeJvm::NewObjectVImpl(JNIEnv* env, jclass clazz, jmethodID method, va_list args) {
    FakeJvm& jvm = Of(env);
    std::lock_guard lock(jvm.mutex_);
    if (!jvm.MayCallJava("NewObject")) return nullptr;
    const ClassRef* ref = jvm.As<ClassRef>(clazz);
    if (ref == nullptr || ref->info != jvm.fileTimeClass_ ||
        reinterpret_cast<MethodInfo*>(method) != jvm.fileTimeConstructor_) {
        jvm.Misuse("NewObject with a class or constructor the fake did not hand out");
        return nullptr;
    }
    auto made = std::make_unique<FileTime>();
    for (jint& field : made->fields) field = va_arg(args, jint);
    return jvm.MadeLocal(jvm.Keep(std::move(made)));
}

jboolean JNICALL FakeJvm::CallBooleanMethodImpl(JNIEnv* env, jobject object, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    jboolean result = CallBooleanMethodVImpl(env, object, method, args);
    va_end(args);
    return result;
}

jboolean JNICALL FakeJvm::CallBooleanMethodVImpl(JNIEnv* env, jobject object, jmethodID method, va_list args) {
    FakeJvm& jvm = Of(env);
    std::lock_guard lock(jvm.mutex_);
    if (!jvm.MayCallJava("CallBooleanMethod")) return JNI_FALSE;
    Vector* vector = jvm.As<Vector>(object);
    if (vector == nullptr || reinterpret_cast<MethodInfo*>(method) != jvm.vectorAdd_) {
        jvm.Misuse("CallBooleanMethod: only Vector.add on a vector is known");
        return JNI_FALSE;
    }
    vector->elements.push_back(va_arg(args, jobject));
    return JNI_TRUE;
}

// --- Object arrays, and accounting of taken characters and local references ------------------

jobjectArray FakeJvm::NewStringArray(const std::vector<std::u16string>& texts) {
    auto array = std::make_unique<ObjectArray>();
    for (const auto& text : texts) array->elements.push_back(NewString(text));
    array->length = static_cast<jsize>(array->elements.size());
    return static_cast<jobjectArray>(Keep(std::move(array)));
}

jobjectArray FakeJvm::NewOversizedArray(jsize claimedLength) {
    auto array = std::make_unique<ObjectArray>();
    array->length = claimedLength;
    return static_cast<jobjectArray>(Keep(std::move(array)));
}

const FakeJvm::ObjectArray* FakeJvm::AsArray(jobject object) const {
    std::lock_guard lock(mutex_);
    for (const auto& kept : objects_) {
        if (reinterpret_cast<jobject>(kept.get()) == object) {
            if (auto* array = dynamic_cast<const ObjectArray*>(kept.get())) return array;
        }
    }
    std::fprintf(stderr, "fake JNI: %p is not an array of this fake\n", static_cast<void*>(object));
    std::abort();
}

void FakeJvm::NoteReleased(jstring string, const void* chars) {
    std::lock_guard lock(mutex_);
    for (auto it = takenChars_.begin(); it != takenChars_.end(); ++it) {
        if (it->first != chars) continue;
        if (it->second != string) releaseProblems_.push_back("characters released against another string");
        releasedStrings_.push_back(string);
        takenChars_.erase(it);
        return;
    }
    releaseProblems_.push_back("released characters that were never taken (or twice)");
}

int FakeJvm::OutstandingChars() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(takenChars_.size());
}

std::vector<jstring> FakeJvm::ReleasedStrings() const {
    std::lock_guard lock(mutex_);
    return releasedStrings_;
}

std::vector<std::string> FakeJvm::ReleaseProblems() const {
    std::lock_guard lock(mutex_);
    return releaseProblems_;
}

int FakeJvm::LiveElementRefs() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(liveElementRefs_.size());
}

jsize JNICALL FakeJvm::GetArrayLengthImpl(JNIEnv* env, jarray array) { return Of(env).AsArray(array)->length; }

jobject JNICALL FakeJvm::GetObjectArrayElementImpl(JNIEnv* env, jobjectArray array, jsize index) {
    FakeJvm& jvm = Of(env);
    const ObjectArray* elements = jvm.AsArray(array);
    if (index < 0 || static_cast<std::size_t>(index) >= elements->elements.size()) {
        std::fprintf(stderr, "fake JNI: array index %d out of bounds\n", static_cast<int>(index));
        std::abort();
    }
    std::lock_guard lock(jvm.mutex_);
    // Each call hands out a new local reference in a real runtime; here the element itself stands
    // for it, counted once per call.
    jvm.liveElementRefs_.push_back(elements->elements[static_cast<std::size_t>(index)]);
    return jvm.liveElementRefs_.back();
}

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
