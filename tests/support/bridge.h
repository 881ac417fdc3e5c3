// QLPGPUtils.dll loaded at run time, with its exports looked up by name as its callers find them
// (the Java runtime looks natives up by their decorated names in the 32-bit build).
#pragma once

#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "shared_block.h"

namespace ql::test {

// The name under which the Java runtime finds a native of com.brennick.util.Native: in the 32-bit
// build "_Java_com_brennick_util_Native_<method>@<argument bytes>", in the 64-bit build the plain name.
std::string JniExportName(const std::string& method, int argumentBytes);

class Bridge {
public:
    using WaitForOpenFileRequestFn = jstring(JNICALL*)(JNIEnv*, jclass, jint, jint);

    // Loads QLPGPUtils.dll from the test program's folder; loaded() tells whether it worked.
    Bridge();
    // Loads the library as LoadLibraryA does with `pathOrName`: a full path (a copy of the library in
    // a product tree a test built), or a bare name found by the ordinary DLL search, as the Java
    // runtime finds it. Each copy of the library file has a shared block of its own: a test talks
    // to a process through the very file that process loaded.
    explicit Bridge(const std::string& pathOrName);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    bool loaded() const { return module_ != nullptr && waitForOpenFileRequest != nullptr; }
    // Why loading failed: LoadLibraryA's error, or ERROR_PROC_NOT_FOUND when the library has no
    // waitForOpenFileRequest native; 0 when loaded.
    DWORD loadError() const { return loadError_; }
    // The library's shared section in this process, or null.
    ql::SharedBlock* shared() const;

    int (*RequestOpenFile)(const char*) = nullptr;
    int (*SendCommand)(const char*) = nullptr;
    HWND (*GetMainWnd)() = nullptr;
    HWND (*GetHiddenWnd)() = nullptr;
    WaitForOpenFileRequestFn waitForOpenFileRequest = nullptr;

    // Any native by the name the Java runtime looks it up by (JniExportName), as `Fn`; null if missing.
    template <typename Fn>
    Fn Native(const std::string& method, int argumentBytes) const {
        return reinterpret_cast<Fn>(
            reinterpret_cast<void*>(GetProcAddress(module_, JniExportName(method, argumentBytes).c_str())));
    }

private:
    HMODULE module_ = nullptr;
    DWORD loadError_ = 0;
};

}  // namespace ql::test
