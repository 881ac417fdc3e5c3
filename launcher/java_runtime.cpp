// Finding the Java runtime: the accompanying one beside the product, else a registered 1.5 runtime
// that proves its version by answering " -version".
#include "java_runtime.h"

#include <windows.h>
#include <shlwapi.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "ql/unique_handle.h"

namespace ql {
namespace {

constexpr const char* kRuntimeProductKey = "SOFTWARE\\JavaSoft\\Java Runtime Environment";
constexpr const char* kDevelopmentKitProductKey = "SOFTWARE\\JavaSoft\\Java Development Kit";
constexpr const char* kVersionSubkeys[] = {"1.5", "1.5.0"};
constexpr const char* kJavaHomeValue = "JavaHome";

constexpr std::int32_t kNotAString = -1;
constexpr std::int32_t kNotJava15 = -2;

constexpr DWORD kProbeReadChunk = 512;
// How long the waiter holds the output pipe after the probe ended, so the reader takes in whatever
// the probe wrote last before its ReadFile fails.
constexpr DWORD kDrainDelayMs = 100;

bool OpenKey(HKEY parent, const char* name, UniqueRegKey& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(parent, name, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    key.reset(opened);
    return true;
}

bool OpenVersionSubkey(HKEY product, UniqueRegKey& version) {
    for (const char* name : kVersionSubkeys) {
        if (OpenKey(product, name, version)) return true;
    }
    return false;
}

// The version subkey of a registered 1.5 runtime, or none. The development kit is asked only when
// a runtime product key exists without a 1.5 subkey: a machine with a development kit alone is taken
// to have no registered runtime.
UniqueRegKey OpenRegisteredVersion() {
    UniqueRegKey product, version;
    if (OpenKey(HKEY_LOCAL_MACHINE, kRuntimeProductKey, product) && !OpenVersionSubkey(product.get(), version)) {
        product.reset();
        if (OpenKey(HKEY_LOCAL_MACHINE, kDevelopmentKitProductKey, product)) OpenVersionSubkey(product.get(), version);
    }
    return version;
}

// "JavaHome" of the version key, into `home`. Returns 0, the registry's status, or kNotAString.
std::int32_t ReadJavaHome(HKEY version, std::string& home) {
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExA(version, kJavaHomeValue, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) return kNotAString;
    // The stored string need not end in a NUL: read into one byte more than reported, all zeros, and
    // keep the text up to the first NUL within the reported size.
    std::string buffer(static_cast<std::size_t>(size) + 1, '\0');
    DWORD read = size;
    status = RegQueryValueExA(version, kJavaHomeValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &read);
    if (status != ERROR_SUCCESS) return status;
    buffer.resize(buffer.find('\0'));  // found at the latest in the extra byte
    home = std::move(buffer);
    return 0;
}

// What the reader (the caller of FindRegisteredJava) and the waiter thread share about one probe.
// The reader can return while the waiter still runs (a read that fails before the probe ends), so
// the record lives on the heap and both own it through a shared_ptr; whoever lets go last closes what
// is still open. That includes the output read end, which the waiter must not close while the reader
// may still be in ReadFile on it. The two ends the probe inherits (outputWrite, inputRead) are made
// non-inheritable as soon as the probe has started, so no later process can take them along.
struct ProbeHandles {
    UniqueHandle process;
    std::atomic<int> exitFlag{1};  // 1 until the waiter saw the probe end
    UniqueHandle outputWrite;      // held here so the reader's ReadFile waits until the waiter lets go
    UniqueHandle outputRead;       // the reader's end: closed only with the record
    UniqueHandle inputWrite;
    UniqueHandle inputRead;
};

DWORD WINAPI VersionProbeWaiter(void* parameter) {
    // The thread owns one reference, handed over on the heap by the reader.
    std::unique_ptr<std::shared_ptr<ProbeHandles>> owner(static_cast<std::shared_ptr<ProbeHandles>*>(parameter));
    ProbeHandles& probe = **owner;
    WaitForSingleObject(probe.process.get(), INFINITE);
    probe.exitFlag = 0;
    Sleep(kDrainDelayMs);
    probe.process.reset();
    // Closing the last write end makes the reader's ReadFile fail: the normal end of the output.
    probe.outputWrite.reset();
    probe.inputWrite.reset();
    probe.inputRead.reset();
    // The output read end stays with the record: the reader may not be done with it yet.
    return 0;
}

// A pipe whose one end, `kept`, is not inherited by the probe; `given` is inheritable.
// Returns 0 or the platform error.
DWORD CreateProbePipe(bool keepReadEnd, UniqueHandle& kept, UniqueHandle& given) {
    SECURITY_ATTRIBUTES inheritable{};
    inheritable.nLength = sizeof(inheritable);
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inheritable, 0)) return GetLastError();
    UniqueHandle inheritableKept(keepReadEnd ? read : write);
    given.reset(keepReadEnd ? write : read);
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), inheritableKept.get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        const DWORD error = GetLastError();
        given.reset();
        return error;
    }
    kept.reset(duplicate);
    return 0;
}

// Runs `javaPath -version` hidden, collects what it writes and checks it names 1.5.
std::int32_t ProbeJavaVersion(const std::string& javaPath) {
    auto probe = std::make_shared<ProbeHandles>();
    if (DWORD error = CreateProbePipe(true, probe->outputRead, probe->outputWrite)) return static_cast<std::int32_t>(error);
    if (DWORD error = CreateProbePipe(false, probe->inputWrite, probe->inputRead)) return static_cast<std::int32_t>(error);

    // Quoted: unquoted, a path with blanks lets CreateProcessA try its prefixes as programs first
    // (C:\Program.exe for C:\Program Files\...).
    std::string commandLine = "\"" + javaPath + "\" -version";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = probe->inputRead.get();
    startup.hStdOutput = probe->outputWrite.get();
    startup.hStdError = probe->outputWrite.get();
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        return static_cast<std::int32_t>(GetLastError());
    }
    CloseHandle(started.hThread);
    probe->process.reset(started.hProcess);
    // The probe has its copies now. The launcher's own two ends stay open until the waiter is done,
    // which can be after the launcher has started the Java application with handle inheritance on:
    // inheritable, they would pass into the application and live there as long as it runs.
    if (!SetHandleInformation(probe->outputWrite.get(), HANDLE_FLAG_INHERIT, 0) ||
        !SetHandleInformation(probe->inputRead.get(), HANDLE_FLAG_INHERIT, 0)) {
        return static_cast<std::int32_t>(GetLastError());
    }

    auto* waiterReference = new (std::nothrow) std::shared_ptr<ProbeHandles>(probe);
    if (!waiterReference) {
        // The record and with it the process and pipe handles go when `probe` does.
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    HANDLE waiter = CreateThread(nullptr, 0, &VersionProbeWaiter, waiterReference, 0, nullptr);
    if (!waiter) {
        const DWORD error = GetLastError();
        delete waiterReference;
        return static_cast<std::int32_t>(error);
    }
    CloseHandle(waiter);

    // No time-out: the launcher waits for as long as the probe runs.
    std::string output;
    char chunk[kProbeReadChunk];
    DWORD got = 0;
    while (ReadFile(probe->outputRead.get(), chunk, sizeof(chunk), &got, nullptr)) output.append(chunk, got);
    const DWORD readError = GetLastError();
    if (probe->exitFlag == 1 && readError != 0) return static_cast<std::int32_t>(readError);
    return ProbeOutputNamesJava15(output) ? 0 : kNotJava15;
}

}  // namespace

bool FindBundledJava(std::string& javaPath) {
    try {
        char folder[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, folder, MAX_PATH);
        // A truncated module path would name some other folder.
        if (length == 0 || length >= MAX_PATH) return false;
        PathRemoveFileSpecA(folder);
        // On failure (too long) PathAppendA leaves an empty path, which canonicalises to the root of
        // the current drive, and that exists.
        if (!PathAppendA(folder, "..\\jre\\bin\\java.exe")) return false;
        char canonical[MAX_PATH];
        if (!PathCanonicalizeA(canonical, folder)) return false;
        if (!PathFileExistsA(canonical)) return false;
        javaPath = canonical;
        return true;
    } catch (...) {
        return false;
    }
}

std::int32_t FindRegisteredJava(std::string& javaPath) {
    try {
        const UniqueRegKey version = OpenRegisteredVersion();
        // No version subkey: asking a null key for "JavaHome" fails with ERROR_INVALID_HANDLE, so
        // that is the answer, given without asking.
        if (!version) return ERROR_INVALID_HANDLE;

        std::string home;
        if (std::int32_t status = ReadJavaHome(version.get(), home)) return status;
        // An empty home would give "\bin\java.exe", a program at the root of the current drive.
        if (home.empty()) return ERROR_FILE_NOT_FOUND;
        if (home.back() != '\\') home += '\\';
        javaPath = home + "bin\\java.exe";
        return ProbeJavaVersion(javaPath);
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace ql
