// The context-menu handler used as Explorer uses it: the extension registered with regsvr32, the
// object made with CoCreateInstance, a CF_HDROP data object built here, a real menu read back item
// by item, and commands that start the recording launcher placed beside the extension.
//
// What Explorer would see but cannot be read back from a menu or a started process (the structure
// sizes the extension passes) is taken from its calls to InsertMenuItemA and ShellExecuteExA, which
// the test patches in the extension's import table; the calls are forwarded unchanged.
#include <doctest/doctest.h>

#include <windows.h>
#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QLPGPShellExt_h.h"
#include "files.h"
#include "hdrop_data_object.h"
#include "window_finder.h"
#include "ql/com_ptr.h"
#include "ql/unique_handle.h"
#include "shellext_harness.h"

using namespace ql::test;

namespace {

// What the extension passed to the two patched platform calls.
struct MenuInsertSeen {
    UINT cbSize, fMask, fType, wID;
    std::string text;
};
std::vector<MenuInsertSeen> g_menuInserts;
decltype(&InsertMenuItemA) g_realInsertMenuItemA = nullptr;
BOOL WINAPI RecordInsertMenuItemA(HMENU menu, UINT item, BOOL byPosition, LPCMENUITEMINFOA info) {
    g_menuInserts.push_back({info->cbSize, info->fMask, info->fType, info->wID, info->dwTypeData ? info->dwTypeData : ""});
    return g_realInsertMenuItemA(menu, item, byPosition, info);
}

struct ExecuteSeen {
    DWORD cbSize, fMask;
    HWND hwnd;
    bool verbNull;
    std::string file, parameters, directory;
    int show;
    BOOL result;
    DWORD lastError;
};
std::vector<ExecuteSeen> g_executes;  // under g_executesLock: long selections are started from a thread
std::mutex g_executesLock;
decltype(&ShellExecuteExA) g_realShellExecuteExA = nullptr;
BOOL WINAPI RecordShellExecuteExA(SHELLEXECUTEINFOA* info) {
    ExecuteSeen seen{info->cbSize, info->fMask, info->hwnd, info->lpVerb == nullptr, info->lpFile ? info->lpFile : "",
                     info->lpParameters ? info->lpParameters : "", info->lpDirectory ? info->lpDirectory : "",
                     info->nShow, FALSE, 0};
    seen.result = g_realShellExecuteExA(info);
    seen.lastError = GetLastError();
    const std::lock_guard<std::mutex> lock(g_executesLock);
    g_executes.push_back(seen);
    SetLastError(seen.lastError);
    return seen.result;
}

// One test's world: COM on this thread, a product tree with the extension registered from it, and
// the extension's calls to the platform patched for recording.
struct Session {
    Com com;
    ExtensionTree tree;
    std::optional<ImportPatch> menuPatch, executePatch;

    Session() {
        REQUIRE(RunRegsvr32(tree.extension(), false) == 0);
        g_menuInserts.clear();
        g_executes.clear();
    }
    ~Session() { RunRegsvr32(tree.extension(), true); }

    ql::ComPtr<IContextMenu> Create() {
        ql::ComPtr<IContextMenu> menu;
        REQUIRE(CoCreateInstance(CLSID_QLPGPLaunchExt, nullptr, CLSCTX_INPROC_SERVER, IID_IContextMenu,
                                 menu.put_void()) == S_OK);
        if (!menuPatch) {
            // The module COM loaded is the copy in the tree.
            HMODULE module = GetModuleHandleA(tree.extension().c_str());
            REQUIRE(module != nullptr);
            menuPatch.emplace(module, "user32.dll", "InsertMenuItemA", reinterpret_cast<void*>(&RecordInsertMenuItemA));
            g_realInsertMenuItemA = reinterpret_cast<decltype(&InsertMenuItemA)>(menuPatch->original());
            executePatch.emplace(module, "shell32.dll", "ShellExecuteExA", reinterpret_cast<void*>(&RecordShellExecuteExA));
            g_realShellExecuteExA = reinterpret_cast<decltype(&ShellExecuteExA)>(executePatch->original());
            REQUIRE(menuPatch->patched());
            REQUIRE(executePatch->patched());
        }
        return menu;
    }

    HRESULT Initialize(IContextMenu* menu, IDataObject* data) {
        ql::ComPtr<IShellExtInit> init;
        REQUIRE(menu->QueryInterface(IID_IShellExtInit, init.put_void()) == S_OK);
        return init->Initialize(nullptr, data, nullptr);
    }

    // Invokes `verb` with `owner` and checks the one launcher start it gives (`request` after the
    // launcher's quoted path, in bin\, shown normally) and the ShellExecuteExA call that made it.
    void CheckLaunch(IContextMenu* menu, UINT_PTR verb, HWND owner, const std::string& request) {
        tree.ClearStarts();
        g_executes.clear();
        CHECK(Invoke(menu, verb, owner) == S_OK);
        REQUIRE(tree.WaitForStarts(1, kWaitMs));
        const auto starts = tree.Starts();
        REQUIRE(starts.size() == 1);
        CHECK(starts[0].commandLine == "\"" + tree.launcher() + "\" " + request);
        CHECK(starts[0].currentDirectory == tree.binFolder());
        CHECK(starts[0].show == SW_SHOWNORMAL);
        REQUIRE(g_executes.size() == 1);
        const ExecuteSeen& call = g_executes[0];
        CHECK(call.cbSize == (sizeof(void*) == 8 ? 112u : 60u));
        CHECK(call.fMask == 0);
        CHECK(call.hwnd == nullptr);
        CHECK(call.verbNull);
        CHECK(call.file == tree.launcher());
        CHECK(call.parameters == request);
        CHECK(call.directory == tree.binFolder());
        CHECK(call.show == SW_SHOWNORMAL);
    }
};

// Invokes `verb` (checking it gives S_OK) while another thread closes every box the call shows, as a
// user would (the box is modal on this thread), until the call has returned: giving up earlier on a
// slow machine would leave a box open and the call blocked for good. The last box the user read; a
// box just closed can still be found for a moment, its texts half torn down, and is not one.
std::optional<MessageBoxSeen> InvokeClosingBoxes(IContextMenu* menu, UINT_PTR verb) {
    std::optional<MessageBoxSeen> box;
    std::atomic<bool> returned{false};
    std::thread user([&] {
        while (!returned) {
            auto seen = TakeMessageBox(GetCurrentProcessId(), 200);
            if (seen && !seen->text.empty() && !seen->caption.empty()) box = seen;
        }
    });
    CHECK(Invoke(menu, verb) == S_OK);
    returned = true;
    user.join();
    return box;
}

// An object as Explorer holds it for one selection: made, given `paths` (the medium it got released
// once) and, unless told otherwise, its menu added between Explorer's two items, identifiers from 100.
struct Handler {
    ql::ComPtr<IContextMenu> menu;
    HdropDataObject data;
    ExplorerMenu explorer;
    Handler(Session& session, std::vector<std::wstring> paths, bool addMenu = true,
            HdropDataObject::Mode mode = HdropDataObject::Mode::Hdrop)
        : menu(session.Create()), data(mode, std::move(paths)) {
        REQUIRE(session.Initialize(menu.get(), &data) == S_OK);
        CHECK(data.mediumReleases == 1);
        if (addMenu) AddMenu();
    }
    void AddMenu() {
        REQUIRE(menu->QueryContextMenu(explorer.menu, 1, 100, 0x7FFF, CMF_NORMAL) == MAKE_HRESULT(0, 0, 9));
    }
    IContextMenu* get() const { return menu.get(); }
    HMENU Submenu() const { return ReadItem(explorer.menu, 1).submenu; }
    std::wstring FirstItem() const {
        REQUIRE(Submenu() != nullptr);
        return ReadItem(Submenu(), 0).text;
    }
};

// A plain window of this thread (an owner for commands, a handle that is no menu), destroyed with it.
struct TestWindow {
    HWND hwnd = CreateWindowExA(0, "STATIC", "test window", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    TestWindow() { REQUIRE(hwnd != nullptr); }
    ~TestWindow() { DestroyWindow(hwnd); }
    std::string Field() const { return std::to_string(static_cast<int>(reinterpret_cast<INT_PTR>(hwnd))); }
};

std::wstring ShortPath(const std::wstring& path) {
    wchar_t buffer[1024] = {};
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, 1024);
    return std::wstring(buffer, length);
}

// What a test file holds: its name's code units, so no two files of the test read alike.
std::string Marker(const std::wstring& name) {
    std::string marker;
    for (wchar_t c : name) marker += std::to_string(static_cast<unsigned>(c)) + ".";
    return marker;
}

bool MakeFolderW(const std::wstring& path) {
    return CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}
bool WriteFileW(const std::wstring& path, const std::string& contents) {
    ql::UniqueFile file(CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
}

// A text verb whose address has 2, the offset of "Secure delete", in its low 32 bits: in the 64-bit
// build a host may pass one, and only the whole pointer tells it from an offset. The 32-bit build
// cannot have one; there it is an ordinary text verb.
const char* TextVerbReadingAsOffset2() {
    static const char* verb = [] () -> const char* {
        if (sizeof(void*) == 4) return "wipe";
        for (ULONG_PTR base = 0x100000000; base < 0x8000000000; base += 0x100000000) {
            auto* page = static_cast<char*>(
                VirtualAlloc(reinterpret_cast<void*>(base), 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
            if (page == nullptr) continue;
            lstrcpyA(page + 2, "wipe");
            return page + 2;
        }
        return nullptr;
    }();
    return verb;
}

// GetModuleFileNameA as the platform answers for a module it cannot name whole: failing, or cutting a
// path longer than the buffer (the first nSize - 1 characters, a terminator, nSize returned).
DWORD g_moduleNameError = 0;
DWORD WINAPI UnnameableModule(HMODULE, LPSTR name, DWORD size) {
    if (g_moduleNameError == ERROR_INSUFFICIENT_BUFFER && size > 0) {
        const std::string cut = std::string("C:\\").append(size, 'x');
        lstrcpynA(name, cut.c_str(), static_cast<int>(size));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    SetLastError(g_moduleNameError);
    return 0;
}

}  // namespace

TEST_SUITE_BEGIN("handler");

TEST_CASE("each selection gets its first item, and the launcher receives every selected path, spelled exactly") {
    // The names below are chosen for code page 1252. The test also runs with ANSI code page UTF-8
    // (its ctest entry sets LANG=hi_IN.UTF-8), where every name converts exactly and must reach the
    // launcher as its own text, not as a short name. Windows refuses the no-best-fit flag and a
    // used-default pointer for UTF-8 (so every entry was left out there); Wine accepts them, so this
    // run shows the path taken for UTF-8, not that Windows failure.
    const bool utf8 = GetACP() == CP_UTF8;
    REQUIRE((utf8 || GetACP() == 1252));
    char expected[16] = {};
    if (GetEnvironmentVariableA("QL_EXPECT_ACP", expected, sizeof expected) > 0) REQUIRE(GetACP() == std::stoul(expected));
    Session session;
    const std::wstring sel = Widen(session.tree.root()) + L"sel\\";
    REQUIRE(MakeFolderW(sel.substr(0, sel.size() - 1)));

    // Files and folders of the selections; a file's contents are its own name, so a path that
    // reaches the launcher can be checked to open the very file selected.
    enum class Kind { File, Folder, Missing };
    enum class Spelling { Exact, ShortName, LeftOut };
    struct Entry {
        std::wstring name;
        Kind kind = Kind::File;
        Spelling spelling = Spelling::Exact;
    };
    const std::wstring longFolder = std::wstring(150, L'f') + L"\\" + std::wstring(90, L'g');
    const Entry aPGP{L"up.PGP"}, aAsc{L"a.Asc"}, apgp{L"a.pgp"}, btxt{L"b.txt"}, docs{L"docs", Kind::Folder},
        xpgp{L"x.pgp", Kind::Folder}, apgptxt{L"a.pgp.txt"}, agpg{L"a.gpg"},
        longFile{longFolder + L"\\" + std::wstring(60, L'h') + L".pgp"}, longDir{longFolder, Kind::Folder},
        macron{L"d\u0101ta.txt", Kind::File, Spelling::ShortName},   // best fit would make it data.txt
        plain{L"data.txt"}, cyrillic{L"\u0444\u0430\u0439\u043b.pgp", Kind::File, Spelling::ShortName},
        cjk{L"\u6587\u4ef6.asc", Kind::File, Spelling::ShortName},
        cafe{L"caf\u00e9.txt"},                                        // in the code page: kept as it is
        gone{L"g\u014dne.txt", Kind::Missing, Spelling::LeftOut};      // no short name for a missing file
    REQUIRE(MakeFolderW(sel + longFolder.substr(0, 150)));
    for (const Entry* entry : {&aPGP, &aAsc, &apgp, &btxt, &docs, &xpgp, &apgptxt, &agpg, &longDir, &longFile, &macron,
                               &plain, &cyrillic, &cjk, &cafe}) {
        const std::wstring path = sel + entry->name;
        REQUIRE((entry->kind == Kind::Folder ? MakeFolderW(path) : WriteFileW(path, Marker(entry->name))));
    }
    REQUIRE((sel + longFile.name).size() > 300);

    struct Case {
        const char* what;
        std::vector<Entry> entries;
        const wchar_t* first;
    };
    const Case cases[] = {
        {"up.PGP alone", {aPGP}, L"Unprotect"},
        {"a.Asc alone", {aAsc}, L"Unprotect"},
        {"a.pgp and b.txt", {apgp, btxt}, L"Unprotect"},
        {"a.pgp and a folder", {apgp, docs}, L"Protect"},
        {"a folder named x.pgp", {xpgp}, L"Protect"},
        {"a.pgp.txt alone", {apgptxt}, L"Protect"},
        {"a.gpg alone", {agpg}, L"Protect"},
        {"duplicates stay", {btxt, btxt, apgp, apgp}, L"Unprotect"},
        {"a path of more than 300 characters", {longFile}, L"Unprotect"},
        {"a long folder path counts as a folder", {apgp, longDir}, L"Protect"},
        {"d-macron-ta.txt beside data.txt", {macron}, L"Protect"},
        {"a Cyrillic name", {cyrillic, btxt}, L"Unprotect"},
        {"a CJK name", {cjk, plain}, L"Unprotect"},
        {"a name in the code page", {cafe}, L"Protect"},
        {"a name that cannot be spelled and has no short name", {gone, btxt}, L"Protect"},
    };
    const TestWindow owner;
    for (const Case& c : cases) {
        CAPTURE(std::string(c.what));
        std::vector<std::wstring> paths;
        std::vector<std::string> expected;
        for (const Entry& entry : c.entries) {
            const std::wstring path = sel + entry.name;
            paths.push_back(path);
            const Spelling spelling = utf8 ? Spelling::Exact : entry.spelling;
            if (spelling == Spelling::Exact) expected.push_back(Narrow(path));
            if (spelling == Spelling::ShortName) {
                const std::wstring shortPath = ShortPath(path);
                REQUIRE(shortPath.size() > 0);
                REQUIRE(shortPath != path);
                expected.push_back(Narrow(shortPath));
            }
        }
        Handler handler(session, paths);
        CHECK(handler.FirstItem() == c.first);
        std::string request = "\"" + owner.Field() + "*" + (std::wstring(c.first) == L"Unprotect" ? "unprotect" : "protect") + "*";
        for (const std::string& path : expected) request += path + "*";
        session.CheckLaunch(handler.get(), 0, owner.hwnd, request + "\"");
        // Every path in the request opens the file that was selected, and never another one.
        for (std::size_t i = 0, e = 0; i < c.entries.size(); ++i) {
            if (!utf8 && c.entries[i].spelling == Spelling::LeftOut) continue;
            const std::string& path = expected[e++];
            CAPTURE(path);
            if (c.entries[i].kind == Kind::File && path.size() < MAX_PATH)
                CHECK(ReadWholeFile(path) == Marker(c.entries[i].name));
        }
    }
}

TEST_CASE("the menu read back: one submenu item, eight popup items, identifiers from idCmdFirst") {
    Session session;
    Handler handler(session, {Widen(session.tree.launcher())}, false);
    IContextMenu* menu = handler.get();
    const ExplorerMenu& explorer = handler.explorer;
    CHECK(menu->QueryContextMenu(explorer.menu, 1, 0, 0x7FFF, CMF_DEFAULTONLY) == S_OK);
    CHECK(GetMenuItemCount(explorer.menu) == 2);
    CHECK(g_menuInserts.empty());

    REQUIRE(menu->QueryContextMenu(explorer.menu, 1, 100, 0x7FFF, CMF_NORMAL | CMF_EXPLORE) == MAKE_HRESULT(0, 0, 9));
    REQUIRE(GetMenuItemCount(explorer.menu) == 3);
    CHECK(ReadItem(explorer.menu, 0).text == L"Open");
    CHECK(ReadItem(explorer.menu, 2).text == L"Properties");
    const MenuItemSeen submenu = ReadItem(explorer.menu, 1);
    CHECK(submenu.text == L"Quillora OpenPGP");
    CHECK(submenu.id == 108);
    CHECK(submenu.type == MFT_STRING);
    REQUIRE(submenu.submenu != nullptr);

    // The structure the extension passed: without hbmpItem, 44 bytes in the 32-bit build, 72 in the 64-bit.
    REQUIRE(g_menuInserts.size() == 1);
    CHECK(g_menuInserts[0].cbSize == (sizeof(void*) == 8 ? 72u : 44u));
    CHECK(g_menuInserts[0].fMask == (MIIM_ID | MIIM_SUBMENU | MIIM_TYPE));
    CHECK(g_menuInserts[0].fType == MFT_STRING);
    CHECK(g_menuInserts[0].wID == 108);
    CHECK(g_menuInserts[0].text == "Quillora OpenPGP");

    struct Expected {
        const wchar_t* text;  // null: separator
        UINT id;
    };
    const Expected items[] = {
        {L"Protect", 100}, {L"Secure text editor", 101}, {L"Secure delete", 102}, {nullptr, 103},
        {L"Key Manager", 104}, {L"Default settings", 105}, {nullptr, 106}, {L"Help", 107},
    };
    REQUIRE(GetMenuItemCount(submenu.submenu) == 8);
    for (UINT position = 0; position < 8; ++position) {
        CAPTURE(position);
        const MenuItemSeen item = ReadItem(submenu.submenu, position);
        CHECK(item.id == items[position].id);
        CHECK(item.type == (items[position].text ? MFT_STRING : MFT_SEPARATOR));
        if (items[position].text) CHECK(item.text == items[position].text);
        // Not greyed, not checked, not default (the system reports separators as greyed).
        if (items[position].text) CHECK(item.state == MFS_ENABLED);
        CHECK(item.submenu == nullptr);
        CHECK(item.bitmap == nullptr);
    }

    // Too few identifiers: nothing added, code part 0, nothing beyond idCmdLast. Exactly nine: all.
    struct Grant {
        UINT first, last;
        HRESULT result;
    };
    for (const Grant& grant : {Grant{200, 207, MAKE_HRESULT(0, 0, 0)}, Grant{200, 200, MAKE_HRESULT(0, 0, 0)},
                               Grant{200, 100, MAKE_HRESULT(0, 0, 0)}, Grant{0xFFFFFFF8, 0xFFFFFFFF, MAKE_HRESULT(0, 0, 0)},
                               Grant{300, 308, MAKE_HRESULT(0, 0, 9)}}) {
        CAPTURE(grant.first);
        CAPTURE(grant.last);
        ExplorerMenu small;
        CHECK(menu->QueryContextMenu(small.menu, 0, grant.first, grant.last, CMF_NORMAL) == grant.result);
        const int added = GetMenuItemCount(small.menu) - 2;
        CHECK(added == (grant.result == S_OK ? 0 : 1));
        if (added == 1) {
            const MenuItemSeen item = ReadItem(small.menu, 0);
            CHECK(item.id == grant.last);
            CHECK(ReadItem(item.submenu, 7).id == grant.last - 1);
        }
    }
}

TEST_CASE("help texts in ANSI and UTF-16, cut to cchMax; verb and validation requests write nothing") {
    Session session;
    Handler handler(session, {Widen(session.tree.launcher())}, false);
    IContextMenu* menu = handler.get();

    // Before the menu is built, no offset has a command.
    char early[64] = "untouched";
    CHECK(menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, early, 64) == E_INVALIDARG);
    CHECK(std::string(early) == "untouched");

    handler.AddMenu();
    struct Case {
        UINT_PTR offset;
        UINT type;
        UINT cchMax;
        HRESULT result;
        const char* text;  // null: buffer untouched
    };
    const Case cases[] = {
        {0, GCS_HELPTEXTA, 64, S_OK, "Protect selected files and/or directories"},
        {0, GCS_HELPTEXTW, 10, S_OK, "Protect s"},
        {0, GCS_HELPTEXTA, 10, S_OK, "Protect s"},
        {0, GCS_HELPTEXTA, 1, S_OK, ""},
        {0, GCS_HELPTEXTA, 0, S_OK, nullptr},  // no room: nothing written
        // An offset beyond 32 bits is none in the 64-bit build; the 32-bit one cannot tell it from 0.
        {static_cast<UINT_PTR>(0xFFFFFFFFu) + 1, GCS_HELPTEXTA, 64, sizeof(UINT_PTR) == 8 ? E_INVALIDARG : S_OK,
         sizeof(UINT_PTR) == 8 ? nullptr : "Protect selected files and/or directories"},
        {1, GCS_HELPTEXTW, 64, S_OK, "Show Quillora OpenPGP secure text editor"},
        {2, GCS_HELPTEXTA, 64, S_OK, "Secure delete selected files and/or directories"},
        {4, GCS_HELPTEXTW, 64, S_OK, "Show Quillora OpenPGP Key manager"},
        {5, GCS_HELPTEXTA, 64, S_OK, "Show Quillora OpenPGP settings"},
        {3, GCS_HELPTEXTA, 64, E_INVALIDARG, nullptr},
        {6, GCS_HELPTEXTW, 64, E_INVALIDARG, nullptr},
        {7, GCS_HELPTEXTA, 64, E_INVALIDARG, nullptr},  // Help has no help text
        {8, GCS_HELPTEXTA, 64, E_INVALIDARG, nullptr},
        {9, GCS_HELPTEXTA, 64, E_INVALIDARG, nullptr},
        {100, GCS_HELPTEXTA, 64, E_INVALIDARG, nullptr},
        {static_cast<UINT_PTR>(-1), GCS_HELPTEXTA, 64, E_INVALIDARG, nullptr},
        {1, GCS_VERBA, 64, S_OK, nullptr},
        {1, GCS_VERBW, 64, S_OK, nullptr},
        {0, GCS_VALIDATEA, 64, S_OK, nullptr},
        {0, GCS_VALIDATEW, 64, S_OK, nullptr},
        {99, GCS_VERBA, 64, S_OK, nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(c.offset);
        CAPTURE(c.type);
        CAPTURE(c.cchMax);
        union {
            char ansi[256];
            wchar_t wide[128];
        } buffer;
        memset(&buffer, 0x7A, sizeof buffer);
        CHECK(menu->GetCommandString(c.offset, c.type, nullptr, buffer.ansi, c.cchMax) == c.result);
        if (c.text == nullptr) {
            for (unsigned char byte : buffer.ansi) REQUIRE(byte == 0x7A);
        } else if (c.type & GCS_UNICODE) {
            CHECK(std::wstring(buffer.wide) == Widen(c.text));
            CHECK(buffer.wide[c.cchMax] == 0x7A7A);  // nothing written past cchMax
        } else {
            CHECK(std::string(buffer.ansi) == c.text);
            CHECK(static_cast<unsigned char>(buffer.ansi[c.cchMax]) == 0x7A);
        }
    }
}

TEST_CASE("commands: every offset, the owner window field, the call that starts the launcher") {
    Session session;
    const std::string first = session.tree.bin() + "one file.txt";
    const std::string second = session.tree.bin() + "two";
    REQUIRE(WriteWholeFile(first, "1"));
    REQUIRE(MakeFolders(second));
    Handler handler(session, {Widen(first), Widen(second)});
    const std::string items = first + "*" + second + "*";
    const TestWindow window;
    HWND owner = window.hwnd;
    struct Case {
        UINT_PTR verb;
        HWND window;
        std::string request;  // empty: E_INVALIDARG, nothing started
    };
    const std::vector<Case> cases = {
        {0, owner, "\"" + window.Field() + "*protect*" + items + "\""},
        {1, nullptr, "\"0*secure_text_editor*" + items + "\""},
        {2, owner, "\"" + window.Field() + "*wipe*" + items + "\""},
        {4, nullptr, "\"0*key_manager*" + items + "\""},
        {5, nullptr, "\"0*default_settings*" + items + "\""},
        // The window field is the handle's low 32 bits as a signed number.
        {0, reinterpret_cast<HWND>(static_cast<INT_PTR>(-5)), "\"-5*protect*" + items + "\""},
        {0, reinterpret_cast<HWND>(static_cast<UINT_PTR>(0xFFFFFFFEu)), "\"-2*protect*" + items + "\""},
        {3, nullptr, ""}, {6, nullptr, ""}, {8, nullptr, ""}, {99, nullptr, ""},
        {0x10000, nullptr, ""},  // any bit above the low 16: a text verb
        {reinterpret_cast<UINT_PTR>("protect"), nullptr, ""},
        {reinterpret_cast<UINT_PTR>("open"), nullptr, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.verb);
        CAPTURE(c.request);
        if (!c.request.empty()) {
            session.CheckLaunch(handler.get(), c.verb, c.window, c.request);
            continue;
        }
        g_executes.clear();
        CHECK(Invoke(handler.get(), c.verb, c.window) == E_INVALIDARG);
        CHECK(g_executes.empty());
    }
    // Invoking leaves the object as it was: the same command runs again.
    session.CheckLaunch(handler.get(), 2, nullptr, "\"0*wipe*" + items + "\"");
}

TEST_CASE("thousands of selected paths: consecutive launches in order, each within the bound, every path once") {
    Session session;
    for (const int count : {1000, 10000}) {
        CAPTURE(count);
        // Paths of 100 characters that differ only in their number.
        const std::string folder = session.tree.root() + "selection\\";
        std::vector<std::wstring> paths;
        std::string all;
        for (int i = 0; i < count; ++i) {
            const std::string number = std::to_string(100000 + i);
            const std::string path = folder + std::string(100 - folder.size() - number.size() - 4, 'n') + number + ".pgp";
            paths.push_back(Widen(path));
            all += path + "*";
        }
        Handler handler(session, paths);
        session.tree.ClearStarts();
        {
            const std::lock_guard<std::mutex> lock(g_executesLock);  // a late series of the last round
            g_executes.clear();
        }
        const std::size_t handlesBefore = OwnHandleCount();
        REQUIRE(Invoke(handler.get(), 2) == S_OK);

        // As many launches as full requests of at most 32,468 characters take: "\"0*wipe*" and the
        // closing quote around 101 characters a path.
        const std::size_t perLaunch = (32468 - 9) / 101;
        const std::size_t launches = (static_cast<std::size_t>(count) + perLaunch - 1) / perLaunch;
        REQUIRE(session.tree.WaitForStarts(launches, kWaitMs));
        const std::string prefix = "\"" + session.tree.launcher() + "\" ";
        std::string carried;
        for (const auto& start : session.tree.Starts()) {
            CHECK(start.commandLine.size() < 32767);
            REQUIRE(start.commandLine.rfind(prefix + "\"0*wipe*", 0) == 0);
            const std::string request = start.commandLine.substr(prefix.size());
            CHECK(request.size() <= 32468);
            REQUIRE(request.size() > 10);
            CHECK(request.substr(request.size() - 2) == "*\"");
            carried += request.substr(8, request.size() - 9);
        }
        CHECK(session.tree.Starts().size() == launches);
        CHECK(carried == all);  // whole paths, in order, each once
        // The series is over once every call has come back (its thread still uses the patched call).
        const auto calls = [] {
            const std::lock_guard<std::mutex> lock(g_executesLock);
            return g_executes.size();
        };
        WaitUntil([&] { return calls() >= launches; }, kWaitMs);
        CHECK(calls() == launches);
        // The series' thread and every launcher's process handle are closed once it is over (a few
        // handles may come and go with the system's own caches).
        WaitUntil([&] { return OwnHandleCount() <= handlesBefore + 8; }, kWaitMs);
        CHECK(OwnHandleCount() <= handlesBefore + 8);
    }
}

TEST_CASE("without a launcher beside it the extension says so; Help opens the help page maximised") {
    Session session;
    Handler handler(session, {Widen(session.tree.bin() + "QLPGPUtils.dll")});
    IContextMenu* menu = handler.get();

    // Rows: how GetModuleFileNameA fails for the extension (its path cannot be had whole: no program
    // from a guessed folder, whose launch would show Wine's own box first), then 0: the launcher
    // deleted. Wine's ShellExecuteExA shows a box of its own about the missing file first ("File not
    // found.", caption "Error"), and leaves the last error at 0 (see docs/wine-notes.md).
    SUBCASE("the error box, and still S_OK: no launcher, or a module path that cannot be had whole") {
        for (const DWORD error : {DWORD{ERROR_INSUFFICIENT_BUFFER}, DWORD{ERROR_MOD_NOT_FOUND}, DWORD{0}}) {
            CAPTURE(error);
            std::optional<ImportPatch> patch;
            if (error != 0) {
                patch.emplace(GetModuleHandleA(session.tree.extension().c_str()), "kernel32.dll", "GetModuleFileNameA",
                              reinterpret_cast<void*>(&UnnameableModule));
                REQUIRE(patch->patched());
                g_moduleNameError = error;
            } else {
                REQUIRE(DeleteFileA(session.tree.launcher().c_str()));
            }
            g_executes.clear();
            const std::optional<MessageBoxSeen> box = InvokeClosingBoxes(menu, 2);
            REQUIRE(g_executes.size() == (error == 0 ? 1u : 0u));
            if (error == 0) CHECK_FALSE(g_executes[0].result);
            REQUIRE(box.has_value());
            CHECK(box->caption == "Error");
            CHECK(box->text == "Failed to execute command. Error code: " +
                                   std::to_string(error == 0 ? g_executes[0].lastError : error));
        }
    }
    SUBCASE("Help: the canonical path of help\\index.htm beside bin, opened maximised") {
        // .htm files open, for this test, with a copy of the recording program.
        const std::string viewerFolder = session.tree.root() + "viewer\\";
        session.tree.PlaceRecorder(viewerFolder + "viewer.exe");
        const auto savedClass = ReadString(HKEY_CLASSES_ROOT, ".htm");
        struct Association {
            ~Association() { RegDeleteTreeW(HKEY_CLASSES_ROOT, L"QLTest.helppage"); }
        } association;
        REQUIRE(WriteString(HKEY_CLASSES_ROOT, "QLTest.helppage\\shell\\open\\command", "",
                            "\"" + viewerFolder + "viewer.exe\" \"%1\""));
        REQUIRE(WriteString(HKEY_CLASSES_ROOT, ".htm", "", "QLTest.helppage"));
        const HRESULT invoked = Invoke(menu, 7);
        const bool opened = session.tree.WaitForStarts(1, kWaitMs, viewerFolder);
        WriteString(HKEY_CLASSES_ROOT, ".htm", "", savedClass.value_or("htmlfile"));
        CHECK(invoked == S_OK);
        REQUIRE(opened);
        const auto starts = session.tree.Starts(viewerFolder);
        REQUIRE(starts.size() == 1);
        CHECK(starts[0].commandLine == "\"" + viewerFolder + "viewer.exe\" \"" + session.tree.root() + "help\\index.htm\"");
        CHECK(starts[0].show == SW_SHOWMAXIMIZED);
        CHECK(session.tree.Starts().empty());  // the launcher is not involved
        CHECK(g_executes.empty());
    }
}

TEST_CASE("Initialize: what it asks for, unusable selections, and a second selection added to the first") {
    Session session;
    const std::wstring file = Widen(session.tree.bin() + "QLPGPUtils.dll");
    const std::wstring folder = Widen(session.tree.binFolder());

    ql::ComPtr<IContextMenu> menu = session.Create();
    CHECK(session.Initialize(menu.get(), nullptr) == E_INVALIDARG);
    // Unusable selections, on the same object: each asks once for an HGLOBAL CF_HDROP of the content,
    // releases the medium it got, and leaves nothing behind for the selections below.
    struct Refused {
        HdropDataObject::Mode mode;
        std::vector<std::wstring> paths;
        int releases;
    };
    for (const Refused& row : {Refused{HdropDataObject::Mode::NoHdrop, {file}, 0},
                               Refused{HdropDataObject::Mode::Unlockable, {file}, 1},
                               Refused{HdropDataObject::Mode::Hdrop, {}, 1}}) {
        CAPTURE(static_cast<int>(row.mode));
        HdropDataObject data(row.mode, row.paths);
        CHECK(session.Initialize(menu.get(), &data) == E_INVALIDARG);
        CHECK(data.getDataCalls == 1);
        CHECK(data.asked.cfFormat == CF_HDROP);
        CHECK(data.asked.ptd == nullptr);
        CHECK(data.asked.dwAspect == DVASPECT_CONTENT);
        CHECK(data.asked.lindex == -1);
        CHECK(data.asked.tymed == TYMED_HGLOBAL);
        CHECK(data.mediumReleases == row.releases);
    }

    // A list in 8-bit text, as older sources give it, counts as well.
    HdropDataObject first(HdropDataObject::Mode::HdropAnsi, {file});
    CHECK(session.Initialize(menu.get(), &first) == S_OK);
    ExplorerMenu explorer;
    REQUIRE(menu->QueryContextMenu(explorer.menu, 1, 100, 0x7FFF, CMF_NORMAL) == MAKE_HRESULT(0, 0, 9));
    CHECK(ReadItem(ReadItem(explorer.menu, 1).submenu, 0).text == L"Protect");
    // A second selection adds to the first, and the folder flag, once raised, stays.
    HdropDataObject second(HdropDataObject::Mode::Hdrop, {folder, file});
    CHECK(session.Initialize(menu.get(), &second) == S_OK);
    const std::string dll = session.tree.bin() + "QLPGPUtils.dll*";
    session.CheckLaunch(menu.get(), 1, nullptr, "\"0*secure_text_editor*" + dll + session.tree.binFolder() + "*" + dll + "\"");
}

TEST_CASE("bad calls from a careless host: null pointers, bad menus, ranges and interfaces give these results") {
    Session session;
    ql::ComPtr<IContextMenu> menu = session.Create();
    ql::ComPtr<IDispatch> dispatch;
    REQUIRE(menu->QueryInterface(IID_IDispatch, dispatch.put_void()) == S_OK);

    HMENU destroyed = CreatePopupMenu();
    REQUIRE(DestroyMenu(destroyed));
    const TestWindow notAMenu;
    char buffer[64];
    ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
    UINT count = 0;
    DISPID id = 0;
    wchar_t unknownName[] = L"NoSuchMember";
    LPOLESTR names[] = {unknownName};
    DISPPARAMS noArguments = {};
    // Wine's InsertMenuItemA fails on a bad menu without setting an error (Windows sets 1401,
    // ERROR_INVALID_MENU_HANDLE); the extension then reports E_FAIL, never an earlier call's error.
    const HRESULT kInvalidMenu = E_FAIL;
    SetLastError(ERROR_FILE_NOT_FOUND);

    // In order: the first rows meet an object that has no menu yet, the later ones one that has.
    struct Case {
        const char* call;
        std::function<HRESULT()> run;
        HRESULT result;
    };
    const std::vector<Case> cases = {
        {"InvokeCommand on a new object", [&] { return Invoke(menu.get(), 0); }, E_INVALIDARG},
        {"QueryContextMenu on a null menu", [&] { return menu->QueryContextMenu(nullptr, 0, 100, 0x7FFF, CMF_NORMAL); }, kInvalidMenu},
        {"QueryContextMenu on a destroyed menu", [&] { return menu->QueryContextMenu(destroyed, 0, 100, 0x7FFF, CMF_NORMAL); }, kInvalidMenu},
        {"QueryContextMenu on a window handle", [&] { return menu->QueryContextMenu(reinterpret_cast<HMENU>(notAMenu.hwnd), 0, 100, 0x7FFF, CMF_NORMAL); }, kInvalidMenu},
        // A menu that was never added runs no command and has no help text.
        {"InvokeCommand after a failed QueryContextMenu", [&] { return Invoke(menu.get(), 0); }, E_INVALIDARG},
        {"GetCommandString after a failed QueryContextMenu", [&] { return menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, buffer, 64); }, E_INVALIDARG},
        {"InvokeCommand with no information", [&] { return menu->InvokeCommand(nullptr); }, E_INVALIDARG},
        {"GetCommandString verb into no buffer", [&] { return menu->GetCommandString(0, GCS_VERBA, nullptr, nullptr, 0); }, S_OK},
        {"GetTypeInfoCount into nothing", [&] { return dispatch->GetTypeInfoCount(nullptr); }, E_POINTER},
        {"GetTypeInfoCount", [&] { return dispatch->GetTypeInfoCount(&count); }, S_OK},
        {"GetTypeInfo into nothing", [&] { return dispatch->GetTypeInfo(0, 0, nullptr); }, E_POINTER},
        {"GetTypeInfo of index 1", [&] { return dispatch->GetTypeInfo(1, 0, &typeInfo); }, DISP_E_BADINDEX},
        {"GetIDsOfNames for an interface", [&] { return dispatch->GetIDsOfNames(IID_IUnknown, names, 1, 0, &id); }, DISP_E_UNKNOWNINTERFACE},
        {"GetIDsOfNames of an unknown name", [&] { return dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id); }, DISP_E_UNKNOWNNAME},
        {"GetIDsOfNames with no names", [&] { return dispatch->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id); }, E_INVALIDARG},
        {"GetIDsOfNames into nothing", [&] { return dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr); }, E_INVALIDARG},
        {"Invoke for an interface", [&] { return dispatch->Invoke(1, IID_IUnknown, 0, DISPATCH_METHOD, &noArguments, nullptr, nullptr, nullptr); }, DISP_E_UNKNOWNINTERFACE},
        {"Invoke of an unknown member", [&] { return dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &noArguments, nullptr, nullptr, nullptr); }, DISP_E_MEMBERNOTFOUND},
        {"Invoke with no parameters", [&] { return dispatch->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr); }, E_INVALIDARG},
        // From here the menu exists.
        {"QueryContextMenu at a position past the end", [&] {
             ExplorerMenu explorer;
             const HRESULT hr = menu->QueryContextMenu(explorer.menu, 0xFFFFFFFF, 100, 0x7FFF, CMF_NORMAL);
             // Appended after Explorer's two items.
             return GetMenuItemCount(explorer.menu) == 3 && ReadItem(explorer.menu, 2).text == L"Quillora OpenPGP" ? hr : E_FAIL;
         }, MAKE_HRESULT(0, 0, 9)},
        {"GetCommandString help text into no buffer", [&] { return menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, nullptr, 64); }, E_INVALIDARG},
        {"GetCommandString help text into no wide buffer", [&] { return menu->GetCommandString(0, GCS_HELPTEXTW, nullptr, nullptr, 64); }, E_INVALIDARG},
        {"InvokeCommand with a text verb whose address has 2 (Secure delete) in its low 32 bits", [&] {
             CMINVOKECOMMANDINFO info = {};
             info.cbSize = sizeof info;
             info.lpVerb = TextVerbReadingAsOffset2();
             REQUIRE(info.lpVerb != nullptr);
             return menu->InvokeCommand(&info);
         }, E_INVALIDARG},
        {"InvokeCommand with a zero size and an offset out of range", [&] {
             CMINVOKECOMMANDINFO info = {};
             info.lpVerb = MAKEINTRESOURCEA(9);
             return menu->InvokeCommand(&info);
         }, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        const std::string call = c.call;
        CAPTURE(call);
        session.tree.ClearStarts();
        g_executes.clear();
        CHECK(c.run() == c.result);
        CHECK(g_executes.empty());  // no bad call starts anything
    }
    CHECK(count == 1);
    CHECK(typeInfo == nullptr);
}

// Wine's GetGuiResources reports 0 GDI and 0 USER objects whatever exists, so menus are checked one
// by one (IsMenu) instead.
TEST_CASE("1,000 menu cycles leave the handle count flat and no menu behind") {
    Session session;
    const std::wstring file = Widen(session.tree.bin() + "QLPGPUtils.dll");
    const std::wstring folder = Widen(session.tree.binFolder());
    constexpr int kInvokeEvery = 100;  // each invocation starts the recording launcher: a process start
    int invoked = 0;

    // One menu as Explorer shows it: a new object, the selection, the menu, the help texts of every
    // offset, now and then a command; then the menu is destroyed and the object released.
    auto cycle = [&](int round) {
        Handler handler(session, {file, folder});
        const HMENU submenu = handler.Submenu();
        REQUIRE(IsMenu(submenu));
        if (round % kInvokeEvery == 0) {
            REQUIRE(Invoke(handler.get(), 2) == S_OK);
            ++invoked;
        } else {
            for (UINT_PTR offset = 0; offset <= 8; ++offset) {
                wchar_t help[64];
                handler.get()->GetCommandString(offset, GCS_HELPTEXTW, nullptr, reinterpret_cast<LPSTR>(help), 64);
            }
        }
        // Explorer's menu takes the submenu along when it is destroyed, before the object is released.
        DestroyMenu(std::exchange(handler.explorer.menu, nullptr));
        REQUIRE_FALSE(IsMenu(submenu));
        g_menuInserts.clear();
        g_executes.clear();
    };

    // Warm-up: whatever the first menu and the first start load stays loaded.
    for (int round = 0; round < 10; ++round) cycle(round);
    REQUIRE(session.tree.WaitForStarts(1, kWaitMs));
    const std::size_t handlesBefore = OwnHandleCount();
    session.tree.ClearStarts();
    invoked = 0;

    for (int round = 1; round <= 1000; ++round) cycle(round);

    // Every command started its program, and the program has recorded it.
    REQUIRE(session.tree.WaitForStarts(static_cast<std::size_t>(invoked), kWaitMs));
    CHECK(invoked == 1000 / kInvokeEvery);
    const std::size_t handlesAfter = OwnHandleCount();
    MESSAGE("handles " << handlesBefore << " -> " << handlesAfter);
    REQUIRE(handlesBefore > 0);
    // One handle lost per cycle would show as a thousand; a few may come and go with the system's
    // own caches.
    CHECK(handlesAfter <= handlesBefore + 8);
}

TEST_SUITE_END();
