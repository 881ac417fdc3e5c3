#include "bridge.h"

#include <cstring>

#include "child_process.h"

namespace ql::test {

std::string JniExportName(const std::string& method, int argumentBytes) {
    std::string name = "Java_com_brennick_util_Native_" + method;
    if (sizeof(void*) == 4) return "_" + name + "@" + std::to_string(argumentBytes);
    return name;
}

Bridge::Bridge() : Bridge(ProgramDirectory() + "QLPGPUtils.dll") {}

Bridge::Bridge(const std::string& pathOrName) {
    module_ = LoadLibraryA(pathOrName.c_str());
    if (module_ == nullptr) {
        loadError_ = GetLastError();
        return;
    }
    // GetProcAddress gives a generic function pointer; each is converted to what it really is.
    auto find = [this](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module_, name)); };
    RequestOpenFile = reinterpret_cast<decltype(RequestOpenFile)>(find("RequestOpenFile"));
    SendCommand = reinterpret_cast<decltype(SendCommand)>(find("SendCommand"));
    GetMainWnd = reinterpret_cast<decltype(GetMainWnd)>(find("GetMainWnd"));
    GetHiddenWnd = reinterpret_cast<decltype(GetHiddenWnd)>(find("GetHiddenWnd"));
    waitForOpenFileRequest = reinterpret_cast<WaitForOpenFileRequestFn>(
        find(JniExportName("waitForOpenFileRequest", 16).c_str()));
    if (waitForOpenFileRequest == nullptr) loadError_ = ERROR_PROC_NOT_FOUND;
}

Bridge::~Bridge() {
    if (module_ != nullptr) FreeLibrary(module_);
}

ql::SharedBlock* Bridge::shared() const {
    if (module_ == nullptr) return nullptr;
    auto* base = reinterpret_cast<unsigned char*>(module_);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::strncmp(reinterpret_cast<const char*>(section->Name), ".shared", IMAGE_SIZEOF_SHORT_NAME) == 0)
            return reinterpret_cast<ql::SharedBlock*>(base + section->VirtualAddress);
    }
    return nullptr;
}

}  // namespace ql::test
