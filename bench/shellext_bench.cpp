// Benchmark of the context-menu handler's own work for large selections: Initialize (taking the
// paths from a CF_HDROP data object) + QueryContextMenu + building the request string, for 10, 1,000
// and 10,000 selected files, beside the floor of one GetFileAttributesW per path. Not a test: it
// asserts nothing about time. bench/run.sh runs it; it prints a Markdown table, one row per
// selection size. The shell's own DragQueryFileW walk over the list is shown for comparison.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "QLPGPShellExt_h.h"
#include "command_request.h"
#include "files.h"
#include "hdrop_data_object.h"
#include "text.h"

using namespace ql::test;

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

}  // namespace

int main() {
    _setmode(_fileno(stdout), _O_BINARY);  // "\n", not "\r\n", in the table
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::string extension = ProgramDirectory() + (sizeof(void*) == 8 ? "QLPGPShellExt64.dll" : "QLPGPShellExt.dll");
    HMODULE module = LoadLibraryA(extension.c_str());
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    if (getClassObject == nullptr ||
        getClassObject(CLSID_QLPGPLaunchExt, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
        std::fprintf(stderr, "cannot load %s\n", extension.c_str());
        return 1;
    }

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "ql shellext bench " + std::to_string(GetCurrentProcessId());
    MakeFolders(folder);
    constexpr int kMostFiles = 10000;
    std::vector<std::wstring> all;
    for (int i = 0; i < kMostFiles; ++i) {
        const std::string path = folder + "\\selected file " + std::to_string(100000 + i) + ".txt";
        WriteWholeFile(path, "x");
        all.push_back(Widen(path));
    }

    std::printf("### Context-menu handler (%d-bit)\n\n", static_cast<int>(sizeof(void*) * 8));
    std::printf("| files | runs | attribute loop ms | attribute loop us/item | handler ms | handler us/item | "
                "handler / loop | DragQueryFileW walk us/item |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::fflush(stdout);
    for (int count : {10, 1000, 10000}) {
        const std::vector<std::wstring> paths(all.begin(), all.begin() + count);
        const int runs = count >= 10000 ? 5 : count >= 1000 ? 20 : 500;

        // The floor: one file-system query per path.
        DWORD sink = 0;
        const LARGE_INTEGER floorStart = Now();
        for (int run = 0; run < runs; ++run)
            for (const std::wstring& path : paths) sink += GetFileAttributesW(path.c_str());
        const double floorSeconds = Seconds(floorStart, Now()) / runs;

        // The platform's own way through the list: DragQueryFileW per index (each call walks the list).
        STGMEDIUM medium = {};
        FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        HdropDataObject dropSource(HdropDataObject::Mode::Hdrop, paths);
        dropSource.GetData(&format, &medium);
        const LARGE_INTEGER dragStart = Now();
        for (int run = 0; run < runs; ++run) {
            auto drop = static_cast<HDROP>(GlobalLock(medium.hGlobal));
            wchar_t buffer[MAX_PATH];
            const UINT entries = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
            for (UINT i = 0; i < entries; ++i) sink += DragQueryFileW(drop, i, buffer, MAX_PATH);
            GlobalUnlock(medium.hGlobal);
        }
        const double dragSeconds = Seconds(dragStart, Now()) / runs;

        // The handler: a new object, Initialize, QueryContextMenu, and the request of one command.
        std::vector<std::string> ansiPaths;
        for (const std::wstring& path : paths) ansiPaths.push_back(Narrow(path));
        std::size_t requestBytes = 0;
        HdropDataObject data(HdropDataObject::Mode::Hdrop, paths);
        const LARGE_INTEGER handlerStart = Now();
        for (int run = 0; run < runs; ++run) {
            IShellExtInit* init = nullptr;
            factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(&init));
            IContextMenu* menu = nullptr;
            init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu));
            if (init->Initialize(nullptr, &data, nullptr) != S_OK) {
                std::fprintf(stderr, "Initialize failed\n");
                return 1;
            }
            HMENU explorer = CreatePopupMenu();
            menu->QueryContextMenu(explorer, 0, 1, 0x7FFF, CMF_NORMAL);
            requestBytes += ql::shellext::BuildCommandRequest(0, "protect", ansiPaths).size();
            DestroyMenu(explorer);
            menu->Release();
            init->Release();
        }
        const double handlerSeconds = Seconds(handlerStart, Now()) / runs;
        std::printf("| %d | %d | %.3f | %.3f | %.3f | %.3f | %.2f | %.3f |\n", count, runs, floorSeconds * 1e3,
                    floorSeconds * 1e6 / count, handlerSeconds * 1e3, handlerSeconds * 1e6 / count,
                    handlerSeconds / floorSeconds, dragSeconds * 1e6 / count);
        std::fflush(stdout);
        if (sink == 1 || requestBytes == 0) std::printf(" ");  // keeps the loops from being optimised away
    }
    std::printf("\n");
    factory->Release();
    RemoveTree(folder);
    CoUninitialize();
    return 0;
}
