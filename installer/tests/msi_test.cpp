// The MSI on a fresh machine: install an older build, upgrade to a newer one and to a rebuild of it,
// open a file through the association, uninstall. Run by installer/tests/msi_test.sh, which builds
// the three packages (with the test Java runtime as their jre\) and gives their Windows paths in
// QL_MSI_OLD, QL_MSI_NEW and QL_MSI_REBUILD. Another program owns ".asc" before the install.
//
// The registry is compared, in both views (this program is 64-bit, so it reads both), with what the
// extension's registration scripts say, parsed here with the library's own parser and expanded as
// the library expands them (%MODULE% the installed DLL of each bitness), and with what the DLLs'
// own registration (regsvr32 on the staged DLLs, QL_STAGE32_BIN and QL_STAGE64_BIN) writes.
#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <doctest/doctest.h>

#include "app_id.h"
#include "child_process.h"
#include "files.h"
#include "printers.h"
#include "ql/product_names.h"
#include "registrar_script.h"
#include "registry_snapshot.h"
#include "shipped_scripts.h"
#include "text.h"

namespace {

using ql::registrar::KeyFlag;
using ql::registrar::ScriptNode;
using namespace ql::test;

constexpr char kUpgradeCode[] = "{E91D05E1-12FD-456A-A0CA-1EE0566E6BC5}";
constexpr DWORD kMsiTimeoutMs = 120000;
constexpr DWORD kStartTimeoutMs = 60000;

Child::Options NotCaptured() {
    Child::Options options;
    options.captureOutput = false;
    return options;
}

std::string Env(const char* name) {
    char value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(value, length) : std::string();
}

std::string KnownFolder(int csidl) {
    char path[MAX_PATH] = {};
    REQUIRE(SHGetFolderPathA(nullptr, csidl, nullptr, 0, path) == S_OK);
    return path;
}

// The folder an administrator gives the first install (INSTALLDIR); upgrades must keep it.
std::string InstallDir() { return KnownFolder(CSIDL_PROGRAM_FILESX86) + "\\Quillora (admin's choice)\\"; }
std::string BinDir() { return InstallDir() + "bin\\"; }

std::string Quoted(const std::string& path) {
    std::string quoted(1, '"');
    quoted += path;
    quoted += '"';
    return quoted;
}


// msiexec with the arguments; its exit code.
DWORD Msiexec(const std::string& arguments) {
    std::string command = "\"";
    command += KnownFolder(CSIDL_SYSTEM);
    command += "\\msiexec.exe\" ";
    command += arguments;
    command += " /qn";
    INFO(command);
    Child child(command, NotCaptured());
    REQUIRE(child.started());
    REQUIRE(child.Wait(kMsiTimeoutMs));
    return child.ExitCode();
}

// The installed products of this upgrade code.
std::vector<std::string> InstalledProducts() {
    std::vector<std::string> products;
    char product[39] = {};
    for (DWORD i = 0; MsiEnumRelatedProductsA(kUpgradeCode, 0, i, product) == ERROR_SUCCESS; ++i)
        products.emplace_back(product);
    return products;
}

std::string ProductInfo(const std::string& product, const char* property) {
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    return MsiGetProductInfoA(product.c_str(), property, value, &size) == ERROR_SUCCESS ? value : "<none>";
}

// Their versions.
std::vector<std::string> InstalledVersions() {
    std::vector<std::string> versions;
    for (const std::string& product : InstalledProducts())
        versions.push_back(ProductInfo(product, INSTALLPROPERTY_VERSIONSTRING));
    return versions;
}

// --- The registry, as the extension's scripts describe it ----------------------------------------

std::string Utf8(const std::u16string& text) { return ToUtf8(std::wstring(text.begin(), text.end())); }

// The scripts expanded as the library expands them when it is the file `module`.
std::vector<ScriptNode> ScriptKeys(const std::string& module) {
    const std::u16string modulePath(module.begin(), module.end());
    const ql::registrar::Replacements replacements = {
        {u"APPID", ql::shellext::kAppId},
        {u"MODULE", ql::registrar::QuoteForScript(modulePath)},
    };
    std::vector<ScriptNode> keys;
    for (const char* script : {kAppIDScript, kQLPGPLaunchExtScript}) {
        const std::string text(script);
        const auto expanded = ql::registrar::ExpandReplacements(std::u16string(text.begin(), text.end()), replacements);
        REQUIRE(expanded.has_value());
        const ql::registrar::ParseResult parsed = ql::registrar::ParseScript(*expanded);
        REQUIRE(parsed.ok);
        keys.insert(keys.end(), parsed.keys.begin(), parsed.keys.end());
    }
    return keys;
}

// The per-machine half of HKCR, where a per-machine package writes.
const std::string kMachineClasses = "Software\\Classes\\";

// What the scripts say of the classes: the keys they own, written and removed whole (`expected`,
// under the machine's classes), and the NoRemove keys they only pass through, which must stay.
struct ScriptTree {
    std::vector<std::string> owned, kept;
    RegistrySnapshot expected;
};

void AddOwned(const ScriptNode& node, const std::string& path, RegistrySnapshot& expected) {
    expected.Add(RegistryEntry(kMachineClasses + path));
    if (node.text) expected.Add({kMachineClasses + path, "", Utf8(*node.text)});
    for (const ScriptNode& child : node.children) {
        if (child.kind == ScriptNode::Kind::Value)
            expected.Add({kMachineClasses + path, Utf8(child.name), Utf8(*child.text)});
        else
            AddOwned(child, path + "\\" + Utf8(child.name), expected);
    }
}

void Collect(const std::vector<ScriptNode>& nodes, const std::string& parent, ScriptTree& tree) {
    for (const ScriptNode& node : nodes) {
        if (node.kind != ScriptNode::Kind::Key) continue;
        const std::string path = parent.empty() ? Utf8(node.name) : parent + "\\" + Utf8(node.name);
        if (node.flag == KeyFlag::NoRemove) {
            tree.kept.push_back(path);
            Collect(node.children, path, tree);
        } else {
            tree.owned.push_back(path);
            AddOwned(node, path, tree.expected);
        }
    }
}

ScriptTree Script(const std::string& module) {
    ScriptTree tree;
    Collect(ScriptKeys(module), "", tree);
    return tree;
}

// The machine's classes under the keys the scripts own, in `view`.
RegistrySnapshot Registered(const ScriptTree& script, REGSAM view) {
    RegistrySnapshot found;
    for (const std::string& key : script.owned)
        found.Merge(RegistrySnapshot(HKEY_LOCAL_MACHINE, kMachineClasses + key, view));
    return found;
}

// After removal, in `view`: the keys the scripts own that are left, the NoRemove keys that are gone.
std::vector<std::string> LeftOrGone(const ScriptTree& script, REGSAM view) {
    std::vector<std::string> differences;
    for (const std::string& key : script.owned)
        if (KeyExists(HKEY_CLASSES_ROOT, key, view)) differences.push_back("key left: " + key);
    for (const std::string& key : script.kept)
        if (!KeyExists(HKEY_CLASSES_ROOT, key, view)) differences.push_back("NoRemove key removed: " + key);
    return differences;
}

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Another program's context-menu handlers for files and folders, as every machine has some.
const char* const kOtherHandlers[] = {"*\\shellex\\ContextMenuHandlers\\QLTestOtherTool",
                                      "Directory\\shellex\\ContextMenuHandlers\\QLTestOtherTool"};
constexpr char kOtherHandlerClass[] = "{2C2CD930-E37B-4817-AC15-385DBBE1092F}";
// Another OpenPGP program's file type, the owner of ".asc" before the install (and of ".pgp" once it
// takes it while the product is installed).
constexpr char kOtherProgId[] = "QLTestOtherTool.File";

void SetMachineClassValue(const std::string& key, const std::string& name, const std::string& data) {
    REQUIRE(WriteString(HKEY_LOCAL_MACHINE, kMachineClasses + key, name, data, KEY_WOW64_64KEY));
}

std::optional<std::string> MachineClass(const std::string& key, const std::string& name = "") {
    return ReadString(HKEY_LOCAL_MACHINE, kMachineClasses + key, name, KEY_WOW64_64KEY);
}

bool OtherHandlersIntact(REGSAM view) {
    for (const char* other : kOtherHandlers)
        if (ReadString(HKEY_CLASSES_ROOT, other, "", view) != kOtherHandlerClass) return false;
    return true;
}

void SetOtherHandlers(REGSAM view) {
    for (const char* other : kOtherHandlers) REQUIRE(WriteString(HKEY_CLASSES_ROOT, other, "", kOtherHandlerClass, view));
}

const std::vector<std::string> kInstalledFiles = {
    "bin\\QuilloraOpenPGP.exe", "bin\\QLPGPUtils.dll", "bin\\QLOPGPMonitor.exe", "bin\\QLPGPShellExt.dll",
    "bin\\QLPGPShellExt64.dll", "bin\\qlopgp.jar", "help\\index.htm", "jre\\bin\\java.exe",
    "jre\\bin\\javaw.exe",
};

// The Start-menu entry: in the all-users Start menu on Windows; Wine's msiexec puts the entries of a
// per-machine package in the installing user's one (docs/wine-notes.md), so either place counts.
std::vector<std::string> ShortcutPaths() {
    std::vector<std::string> found;
    for (int folder : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        const std::string path = KnownFolder(folder) + "\\Quillora OpenPGP.lnk";
        if (FileExists(path)) found.push_back(path);
    }
    return found;
}

// The launcher's Start-menu entry: its target and working folder.
void CheckShortcut() {
    const std::vector<std::string> shortcuts = ShortcutPaths();
    REQUIRE(shortcuts.size() == 1);
    IShellLinkW* link = nullptr;
    REQUIRE(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(&link)) == S_OK);
    IPersistFile* file = nullptr;
    REQUIRE(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)) == S_OK);
    CHECK(file->Load(Widen(shortcuts[0]).c_str(), STGM_READ) == S_OK);
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {};
    link->GetPath(target, MAX_PATH, nullptr, 0);
    link->GetWorkingDirectory(folder, MAX_PATH);
    CHECK(Narrow(target) == BinDir() + "QuilloraOpenPGP.exe");
    // The installer gives the folder with its trailing backslash, Wine's link keeps it.
    std::string workingFolder = Narrow(folder);
    if (!workingFolder.empty() && workingFolder.back() != '\\') workingFolder += '\\';
    CHECK(workingFolder == BinDir());
    file->Release();
    link->Release();
}

// What the extension's own registration (regsvr32 of both DLLs) wrote, for comparison: both views
// in one, each DLL's path written as <MODULE>. Wine places some keys differently for a 32-bit
// process and for a 64-bit one writing the 32-bit view (docs/wine-notes.md), so the comparison is
// made over both views; each view's exact content is checked against the scripts.
RegistrySnapshot g_selfRegistered;
RegistrySnapshot RegisteredAsModule(REGSAM view, const std::string& module) {
    return Registered(Script(module), view).Replaced(module, "<MODULE>");
}

// Everything an installed product must show, for the version given, with or without the Start-menu
// link (its feature), or either way: Wine's msi does not carry an installed version's feature states
// over to an upgrade (docs/wine-notes.md), Windows does.
enum class Link { Present, Absent, Either };
void CheckInstalled(const std::string& version, Link link = Link::Present) {
    INFO("installed: ", version, ", link ", static_cast<int>(link));
    CHECK(InstalledVersions() == std::vector<std::string>{version});
    for (const std::string& file : kInstalledFiles) {
        INFO(file);
        CHECK(FileExists(InstallDir() + file));
    }
    RegistrySnapshot installed;
    for (const auto& [view, module] : {std::pair{KEY_WOW64_64KEY, "QLPGPShellExt64.dll"},
                                       std::pair{KEY_WOW64_32KEY, "QLPGPShellExt.dll"}}) {
        INFO("view of ", std::string(module));
        const ScriptTree script = Script(BinDir() + module);
        CHECK(Differences(script.expected, Registered(script, view)) == NoDifferences);
        // The other programs' handlers are still there.
        CHECK(OtherHandlersIntact(view));
        installed.Merge(RegisteredAsModule(view, BinDir() + module));
    }
    // The same keys and values as the DLLs' own registration writes.
    CHECK(Differences(g_selfRegistered, installed) == NoDifferences);
    const std::string launcher = BinDir() + "QuilloraOpenPGP.exe";
    // ".pgp", which nobody owned, is ours; ".asc" stays the other program's, ours offered beside it.
    CHECK(MachineClass(".pgp") == "QuilloraOpenPGP.File");
    CHECK(MachineClass(".asc") == kOtherProgId);
    for (const char* openWith : {".pgp\\OpenWithProgids", ".asc\\OpenWithProgids"})
        CHECK(MachineClass(openWith, "QuilloraOpenPGP.File") == "");
    CHECK(MachineClass(".asc\\OpenWithProgids", kOtherProgId) == "");
    CHECK(MachineClass("QuilloraOpenPGP.File") == "Quillora OpenPGP file");
    CHECK(MachineClass("QuilloraOpenPGP.File\\shell\\open\\command") == Quoted(launcher) + " \"%1\"");
    CHECK(MachineClass("QuilloraOpenPGP.File\\DefaultIcon") == launcher + ",0");
    // Capabilities, the folder remembered for the next upgrade, Add/Remove Programs.
    const std::string product = InstalledProducts().at(0), key = "Software\\Quillora\\Quillora OpenPGP";
    for (const auto& [path, name, expected] :
         {std::tuple{std::string("Software\\RegisteredApplications"), "Quillora OpenPGP", key + "\\Capabilities"},
          {key + "\\Capabilities\\FileAssociations", ".pgp", "QuilloraOpenPGP.File"},
          {key + "\\Capabilities\\FileAssociations", ".asc", "QuilloraOpenPGP.File"},
          {key, "InstallDir", InstallDir()}})
        CHECK(ReadString(HKEY_LOCAL_MACHINE, path, name, KEY_WOW64_64KEY) == expected);
    for (const char* property : {INSTALLPROPERTY_HELPLINK, INSTALLPROPERTY_URLINFOABOUT})
        CHECK(ProductInfo(product, property) == InstallDir() + "help\\index.htm");
    CHECK(ProductInfo(product, INSTALLPROPERTY_INSTALLLOCATION) == InstallDir());
    CHECK(ReadString(HKEY_LOCAL_MACHINE, kRunKey, "QLOPGPMonitor", KEY_WOW64_64KEY) ==
          Quoted(BinDir() + "QLOPGPMonitor.exe"));
    if (link == Link::Present) CheckShortcut();
    if (link == Link::Absent) CHECK(ShortcutPaths().empty());
}

// The monitor as log-on starts it: the Run entry's command line. Under Wine's null display driver
// it has no notification area, so it shows its "Failed to set tray icon" box; its window exists
// while the box is open, which is all the "shutdown" mode needs.
Child StartMonitorAsAtLogOn() {
    Child monitor(ReadString(HKEY_LOCAL_MACHINE, kRunKey, "QLOPGPMonitor", KEY_WOW64_64KEY).value_or(""),
                  NotCaptured());
    REQUIRE(monitor.started());
    bool found = false;
    for (DWORD waited = 0; waited < kStartTimeoutMs && !found; waited += 100) {
        found = FindWindowA(ql::kTrayClassName, ql::kTrayWindowTitle) != nullptr;
        if (!found) Sleep(100);
    }
    REQUIRE(found);
    return monitor;
}

}  // namespace

TEST_CASE("the MSI installs, upgrades, opens files through its association and uninstalls cleanly") {
    const std::string olderMsi = Env("QL_MSI_OLD"), newerMsi = Env("QL_MSI_NEW"), rebuiltMsi = Env("QL_MSI_REBUILD");
    REQUIRE(!olderMsi.empty());
    REQUIRE(!newerMsi.empty());
    REQUIRE(!rebuiltMsi.empty());
    REQUIRE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK);
    // Other programs' context-menu handlers, which uninstalling must leave alone.
    SetOtherHandlers(KEY_WOW64_64KEY);
    SetOtherHandlers(KEY_WOW64_32KEY);
    REQUIRE(InstalledVersions().empty());

    // 0. The extension's own registration of the staged DLLs, by the system's regsvr32 of each
    // bitness, remembered and removed again.
    for (const auto& [view, regsvr32, module] :
         {std::tuple{KEY_WOW64_64KEY, "system32", Env("QL_STAGE64_BIN") + "\\QLPGPShellExt64.dll"},
          std::tuple{KEY_WOW64_32KEY, "syswow64", Env("QL_STAGE32_BIN") + "\\QLPGPShellExt.dll"}}) {
        const std::string program = Quoted(KnownFolder(CSIDL_WINDOWS) + "\\" + regsvr32 + "\\regsvr32.exe");
        INFO(module);
        REQUIRE(FileExists(module));
        REQUIRE(Run(program + " /s " + Quoted(module), kStartTimeoutMs).exitCode == 0);
        g_selfRegistered.Merge(RegisteredAsModule(view, module));
        REQUIRE(Run(program + " /u /s " + Quoted(module), kStartTimeoutMs).exitCode == 0);
        REQUIRE(LeftOrGone(Script(module), view) == NoDifferences);
    }

    // Another OpenPGP program owns ".asc".
    SetMachineClassValue(".asc", "", kOtherProgId);
    SetMachineClassValue(".asc\\OpenWithProgids", kOtherProgId, "");

    // 1. A fresh install of the older build, in the folder the administrator gives, without the
    // Start-menu link.
    REQUIRE(Msiexec("/i \"" + olderMsi + "\" INSTALLDIR=\"" + InstallDir() + "\" ADDLOCAL=ALL REMOVE=StartMenuLink") == 0);
    CheckInstalled("1.0.0", Link::Absent);

    // 2. The newer build replaces it; the older product's removal stops the running monitor first.
    Child monitor = StartMonitorAsAtLogOn();
    REQUIRE(Msiexec("/i \"" + newerMsi + "\"") == 0);
    CHECK(monitor.Wait(kStartTimeoutMs));
    CHECK(monitor.ExitCode() == 0);
    CheckInstalled("1.0.1", Link::Either);
    // The older build refuses to replace the newer one (1603: the launch condition failed).
    CHECK(Msiexec("/i \"" + olderMsi + "\"") == ERROR_INSTALL_FAILURE);
    CHECK(InstalledVersions() == std::vector<std::string>{"1.0.1"});
    // A rebuild of the same version (another product code) replaces it: one product, not two.
    const std::vector<std::string> beforeRebuild = InstalledProducts();
    REQUIRE(Msiexec("/i \"" + rebuiltMsi + "\" ADDLOCAL=ALL") == 0);
    CHECK(InstalledProducts().size() == 1);
    CHECK(InstalledProducts() != beforeRebuild);
    CheckInstalled("1.0.1");

    // 3. A file opened through the association, from a folder whose name has blanks.
    const std::string folder = KnownFolder(CSIDL_COMMON_DOCUMENTS) + "\\msi test files\\";
    const std::string document = folder + "signed letter.pgp";
    REQUIRE(MakeFolders(folder));
    REQUIRE(WriteWholeFile(document, "-----BEGIN PGP MESSAGE-----\n"));
    const std::string record = InstallDir() + "jre\\bin\\javaw-record.log";
    {
        SHELLEXECUTEINFOA open = {};
        open.cbSize = sizeof open;
        open.fMask = SEE_MASK_NOCLOSEPROCESS;
        open.lpVerb = "open";
        open.lpFile = document.c_str();
        open.nShow = SW_SHOWNORMAL;
        REQUIRE(ShellExecuteExA(&open));
        REQUIRE(open.hProcess != nullptr);
        HWND application = nullptr;
        for (DWORD waited = 0; waited < kStartTimeoutMs && application == nullptr; waited += 100) {
            Sleep(100);
            const auto text = ReadWholeFile(record);
            if (text && text->find(" publish ") != std::string::npos)
                application = FindWindowA("QLTestJavaMain", nullptr);
        }
        REQUIRE(application != nullptr);
        const std::string text = ReadWholeFile(record).value_or("");
        std::smatch commandLine;
        REQUIRE(std::regex_search(text, commandLine, std::regex("cmdline ([^\r\n]*)")));
        // The launcher got the whole path as one argument and made an unprotect request of it.
        const std::string javaw = "\"" + InstallDir() + "jre\\bin\\javaw.exe\" -cp qlopgp.jar com.brennick.Launcher ";
        INFO(commandLine[1].str());
        CHECK(commandLine[1].str().rfind(javaw, 0) == 0);
        const std::string arguments = commandLine[1].str().substr(std::min(javaw.size(), commandLine[1].str().size()));
        const std::string request = "*unprotect*" + document + "*\"";  // after the window field
        REQUIRE(arguments.size() > request.size());
        CHECK(arguments.substr(arguments.size() - request.size()) == request);
        CHECK(std::regex_match(arguments.substr(0, arguments.size() - request.size()), std::regex("\"-?[0-9]+")));
        PostMessageA(application, WM_CLOSE, 0, 0);
        CHECK(WaitForSingleObject(open.hProcess, kStartTimeoutMs) == WAIT_OBJECT_0);
        DWORD exitCode = 1;
        GetExitCodeProcess(open.hProcess, &exitCode);
        CHECK(exitCode == 0);
        CloseHandle(open.hProcess);
    }
    DeleteFileA(record.c_str());
    RemoveTree(folder);

    // 4. The installed monitor closes when the session ends, as the Restart Manager closes it before
    // an update that runs in another session. (Wine has no Restart Manager to start it again.)
    {
        Child monitor = StartMonitorAsAtLogOn();
        HWND window = FindWindowA(ql::kTrayClassName, ql::kTrayWindowTitle);
        CHECK(SendMessageA(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP) == TRUE);
        SendMessageA(window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
        CHECK(monitor.Wait(kStartTimeoutMs));
        CHECK(monitor.ExitCode() == 0);
    }

    // 5. Uninstall, with the monitor running and ".pgp" taken by the other program meanwhile: the
    // monitor is stopped, nothing of ours is left, and the other program keeps both extensions.
    SetMachineClassValue(".pgp", "", kOtherProgId);
    Child secondMonitor = StartMonitorAsAtLogOn();
    REQUIRE(Msiexec("/x \"" + rebuiltMsi + "\"") == 0);
    CHECK(secondMonitor.Wait(kStartTimeoutMs));
    CHECK(secondMonitor.ExitCode() == 0);
    CHECK(InstalledVersions().empty());
    CHECK_FALSE(FolderExists(InstallDir()));
    CHECK(ShortcutPaths().empty());
    for (const auto& [view, module] : {std::pair{KEY_WOW64_64KEY, "QLPGPShellExt64.dll"},
                                       std::pair{KEY_WOW64_32KEY, "QLPGPShellExt.dll"}}) {
        INFO("view of ", std::string(module));
        CHECK(LeftOrGone(Script(BinDir() + module), view) == NoDifferences);
        CHECK(OtherHandlersIntact(view));
        CHECK_FALSE(KeyExists(HKEY_CLASSES_ROOT, "QuilloraOpenPGP.File", view));
        // Wine's msiexec also deletes the Run key once it is empty (docs/wine-notes.md).
        CHECK(ReadString(HKEY_LOCAL_MACHINE, kRunKey, "QLOPGPMonitor", view) == std::nullopt);
    }
    for (const char* extension : {".pgp", ".asc"}) {
        INFO(extension);
        CHECK(MachineClass(extension) == kOtherProgId);
        CHECK(MachineClass(std::string(extension) + "\\OpenWithProgids", "QuilloraOpenPGP.File") == std::nullopt);
    }
    CHECK(MachineClass(".asc\\OpenWithProgids", kOtherProgId) == "");
    CHECK_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Quillora", KEY_WOW64_64KEY));
    CHECK(ReadString(HKEY_LOCAL_MACHINE, "Software\\RegisteredApplications", "Quillora OpenPGP", KEY_WOW64_64KEY) ==
          std::nullopt);
    CoUninitialize();
}
