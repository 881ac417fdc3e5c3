// JNI natives for file times, top-level windows and the Windows folders. Java strings are taken as
// UTF-16 and handed to the wide Win32 calls; nothing here keeps state from one call to the next.

#include <jni.h>
#include <windows.h>

#include <cstdint>

#include "com_brennick_util_Native.h"
#include "diagnostics.h"
#include "jni_text.h"
#include "ql/unique_handle.h"

namespace {

constexpr jint kNoWindow = -1;
// Window titles are read into this many characters, terminator included: longer titles take part in
// the comparison with their first 511 characters.
constexpr int kTitleBufferChars = 512;
constexpr UINT kFolderBufferChars = MAX_PATH;
constexpr UINT kTopmostFlags = SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE;

// Window handles cross to Java as 32-bit values; on 64-bit Windows they are sign-extended.
HWND ToHwnd(jint value) { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(value)); }
jint ToJint(HWND window) { return static_cast<jint>(reinterpret_cast<std::intptr_t>(window)); }

struct TitleSearch {
    const wchar_t* title;
    jint found;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<TitleSearch*>(context);
    wchar_t title[kTitleBufferChars];
    if (GetWindowTextW(window, title, kTitleBufferChars) <= 0) return TRUE;  // no title: skipped
    if (lstrcmpW(search->title, title) != 0) return TRUE;
    search->found = ToJint(window);
    return FALSE;
}

// The first top-level window in Z order (topmost first) whose title equals `title`, case-sensitively;
// -1 when there is none.
jint FindWindowByTitle(const wchar_t* title) {
    TitleSearch search{title, kNoWindow};
    EnumWindows(&MatchTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A folder from one of the wide folder queries; null when the query fails or the folder does not
// fit the buffer.
jstring FolderString(JNIEnv* env, UINT (WINAPI *query)(LPWSTR, UINT)) {
    wchar_t folder[kFolderBufferChars];
    const UINT length = query(folder, kFolderBufferChars);
    if (length == 0 || length >= kFolderBufferChars) return nullptr;
    return ql::NewJavaString(env, folder, length);
}

}  // namespace

extern "C" {

JNIEXPORT jobject JNICALL Java_com_brennick_util_Native_getFileCreationTime(JNIEnv* env, jclass,
                                                                               jstring path) {
    SYSTEMTIME created{};
    {
        ql::JavaChars file(env, path);
        if (!file.usable()) return nullptr;
        // No sharing: a file that another process holds open gives no time.
        ql::UniqueFile handle(CreateFileW(file.get(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!handle) return nullptr;
        FILETIME creation{};
        if (!GetFileTime(handle.get(), &creation, nullptr, nullptr)) return nullptr;
        // UTC, as the file system keeps it.
        if (!FileTimeToSystemTime(&creation, &created)) return nullptr;
    }

    // A missing class or constructor leaves the runtime's exception pending for the caller.
    ql::LocalRef fileTimeClass(env, env->FindClass("com/brennick/util/FileTime"));
    if (!fileTimeClass) {
        ql::WriteDiagnostic("QLPGPUtils: Failed to get class FileTime\n");
        return nullptr;
    }
    auto* clazz = static_cast<jclass>(fileTimeClass.get());
    jmethodID constructor = env->GetMethodID(clazz, "<init>", "(IIIIII)V");
    if (constructor == nullptr) {
        ql::WriteDiagnostic("QLPGPUtils: Failed to get constructor\n");
        return nullptr;
    }
    return env->NewObject(clazz, constructor, static_cast<jint>(created.wYear), static_cast<jint>(created.wMonth),
                          static_cast<jint>(created.wDay), static_cast<jint>(created.wHour),
                          static_cast<jint>(created.wMinute), static_cast<jint>(created.wSecond));
}

JNIEXPORT jboolean JNICALL Java_com_brennick_util_Native_updateFileCreationTime(JNIEnv* env, jclass,
                                                                                  jstring path) {
    ql::JavaChars file(env, path);
    if (!file.usable()) return JNI_FALSE;
    // Opening with TRUNCATE_EXISTING empties the file and never creates one: the wipe relies on both.
    ql::UniqueFile handle(CreateFileW(file.get(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr));
    if (!handle) return JNI_FALSE;
    SYSTEMTIME now{};
    GetSystemTime(&now);
    FILETIME stamp{};
    SystemTimeToFileTime(&now, &stamp);
    // Opened is what counts: a refused stamp still leaves the file emptied.
    SetFileTime(handle.get(), &stamp, &stamp, &stamp);
    return JNI_TRUE;
}

JNIEXPORT jint JNICALL Java_com_brennick_util_Native_getHwnd(JNIEnv* env, jclass, jstring title) {
    ql::JavaChars searched(env, title);
    if (!searched.usable()) return kNoWindow;
    return FindWindowByTitle(searched.get());
}

JNIEXPORT void JNICALL Java_com_brennick_util_Native_setForegroundWindow__Ljava_lang_String_2(JNIEnv* env, jclass,
                                                                                             jstring title) {
    ql::JavaChars searched(env, title);
    if (!searched.usable()) return;
    const jint window = FindWindowByTitle(searched.get());
    if (window != kNoWindow) SetForegroundWindow(ToHwnd(window));
}

JNIEXPORT jint JNICALL Java_com_brennick_util_Native_setForegroundWindow__I(JNIEnv*, jclass, jint window) {
    return SetForegroundWindow(ToHwnd(window));
}

JNIEXPORT jint JNICALL Java_com_brennick_util_Native_setTopmost(JNIEnv*, jclass, jint window) {
    return SetWindowPos(ToHwnd(window), HWND_TOPMOST, 0, 0, 0, 0, kTopmostFlags);
}

JNIEXPORT jint JNICALL Java_com_brennick_util_Native_setNotTopmost(JNIEnv*, jclass, jint window) {
    return SetWindowPos(ToHwnd(window), HWND_NOTOPMOST, 0, 0, 0, 0, kTopmostFlags);
}

JNIEXPORT jstring JNICALL Java_com_brennick_util_Native_getLD(JNIEnv* env, jclass) {
    return FolderString(env, &GetSystemDirectoryW);
}

JNIEXPORT jstring JNICALL Java_com_brennick_util_Native_getWindowsDir(JNIEnv* env, jclass) {
    return FolderString(env, &GetWindowsDirectoryW);
}

}  // extern "C"
