// The open-request channel: one data block shared by every process that loads this library, one
// named auto-reset event that wakes the Java application's waiting thread, and the exports around
// them.
//
// Writers (the launcher's monitor window) store the latest request in the single slot and signal;
// the Java application's thread waits, then takes the slot's text. A request that arrives before the
// previous one was taken replaces it. A named mutex keeps a reader from ever copying a slot that a
// writer is half-way through.
//
// So that a writer can avoid that replacement, the block counts the requests written and taken
// (after its other fields, which keep their offsets), and the reader signals a second named
// auto-reset event each time it has taken the slot's text: the launcher waits on that event and hands
// over its next request only when nothing written is still untaken.

#include <jni.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "QLPGPUtils.h"
#include "com_brennick_util_Native.h"
#include "diagnostics.h"
#include "ql/platform.h"
#include "ql/product_names.h"
#include "ql/unique_handle.h"
#include "request_slot.h"
#include "shared_block.h"

namespace {

using ql::kCommandEventName;
using ql::kOpenRequestEventName;
using ql::kRequestTakenEventName;
using ql::kSlotLockName;

// How long a writer or the reader waits for the slot lock. The lock is only ever held for one copy of
// at most 64 KiB; running out of time means its holder is frozen, and the request goes through
// unguarded rather than being lost.
constexpr DWORD kSlotLockTimeoutMs = 10000;

// Every field, zeros included, is stored in the image, so the block starts from these values again
// whenever a process maps the library while no other process has it loaded.
__attribute__((section(".shared"), shared)) ql::SharedBlock g_shared = {0, 0, 1, {}, {}, 0, 0};

// Per-process handles, owned from process attach to process detach.
HANDLE g_openRequestEvent = nullptr;
HANDLE g_slotLock = nullptr;
HANDLE g_requestTakenEvent = nullptr;

// Window handles cross processes as 32-bit values; handles are sign-extended on 64-bit Windows.
HWND ToHwnd(std::uint32_t value) {
    return reinterpret_cast<HWND>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
}

std::uint32_t LoadShared(std::uint32_t& field) {
    return std::atomic_ref<std::uint32_t>(field).load();
}

void StoreShared(std::uint32_t& field, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(field).store(value);
}

// Holds the slot lock for one scope. An abandoned lock (its holder died) is taken over.
class SlotLockGuard {
public:
    SlotLockGuard() {
        if (g_slotLock == nullptr) return;
        DWORD result = WaitForSingleObject(g_slotLock, kSlotLockTimeoutMs);
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        if (!held_) ql::WriteDiagnostic("QLPGPUtils: request slot lock not available (%lu)\n", result);
    }
    ~SlotLockGuard() {
        if (held_) ReleaseMutex(g_slotLock);
    }
    SlotLockGuard(const SlotLockGuard&) = delete;
    SlotLockGuard& operator=(const SlotLockGuard&) = delete;

private:
    bool held_ = false;
};

// Copies text into a slot the way lstrcpynA does with a limit of 0xFFFF: cut, always terminated.
void CopyToSlot(char (&slot)[ql::kRequestSlotBytes], std::string_view text) {
    std::size_t length = text.size() < ql::kRequestTextLimit ? text.size() : ql::kRequestTextLimit;
    std::memcpy(slot, text.data(), length);
    slot[length] = '\0';
}

void OnProcessAttach() {
    // Everyone may open the event: the Java application could run under another account.
    ql::OpenToEveryone everyone;
    SECURITY_ATTRIBUTES* attributes = nullptr;
    DWORD platformId = 0;
    if (ql::ReadPlatformId(platformId) && platformId == VER_PLATFORM_WIN32_NT &&
        everyone.Build() == ql::OpenToEveryone::Failure::None) {
        attributes = &everyone.attributes;
    }

    if (g_shared.creatorPending != 0) {
        // A failure is not reported here: later loaders will report that they cannot open it.
        g_openRequestEvent = CreateEventA(attributes, FALSE, FALSE, kOpenRequestEventName);
        g_shared.creatorPending = 0;
    } else {
        g_openRequestEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, kOpenRequestEventName);
        if (g_openRequestEvent == nullptr) ql::WriteDiagnostic("Failed to open monitor\n");
    }
    // Created or opened by every loader; without it the channel still works, only unguarded.
    g_slotLock = CreateMutexA(attributes, FALSE, kSlotLockName);
    // Likewise; without it writers are never told of a take and hand over at once, as before.
    g_requestTakenEvent = CreateEventA(attributes, FALSE, FALSE, kRequestTakenEventName);
}

void OnProcessDetach() {
    if (g_requestTakenEvent != nullptr) CloseHandle(g_requestTakenEvent);
    if (g_slotLock != nullptr) CloseHandle(g_slotLock);
    if (g_openRequestEvent != nullptr) CloseHandle(g_openRequestEvent);
    g_requestTakenEvent = g_slotLock = g_openRequestEvent = nullptr;
}

// The slot's text, taken under the lock. The event is cleared in the same hold: a signal still
// pending then belongs to text this reader has already taken, and would otherwise deliver it twice.
// A writer waiting for the slot is told once the lock is released.
std::string TakeRequest() {
    std::string text;
    {
        SlotLockGuard lock;
        ResetEvent(g_openRequestEvent);
        text.assign(g_shared.requestBuffer, strnlen(g_shared.requestBuffer, ql::kRequestSlotBytes));
        StoreShared(g_shared.requestsTaken, LoadShared(g_shared.requestsWritten));
    }
    if (g_requestTakenEvent != nullptr) SetEvent(g_requestTakenEvent);
    return text;
}

// Request texts are ANSI bytes; the Java string is made from their UTF-16 form, so that paths with
// characters beyond ASCII arrive as they are.
jstring ToJavaString(JNIEnv* env, const std::string& ansi) {
    if (ansi.empty()) {
        static constexpr jchar kNoUnits[1] = {0};  // JNI asks for a buffer even for no characters
        return env->NewString(kNoUnits, 0);
    }
    int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), units);
    static_assert(sizeof(wchar_t) == sizeof(jchar));
    return env->NewString(reinterpret_cast<const jchar*>(wide.data()), units);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) OnProcessAttach();
    if (reason == DLL_PROCESS_DETACH) OnProcessDetach();
    return TRUE;
}

QLPGP_API int RequestOpenFile(const char* request) {
    try {
        std::optional<std::string> fitted = ql::FitRequestToSlot(request ? request : "");
        if (!fitted) {
            ql::WriteDiagnostic("QLPGPUtils: request refused, its first field does not fit\n");
            return 0;
        }
        // Written and signalled in one hold of the lock, so the reader never sees the signal of one
        // request with the text of another half-written.
        SlotLockGuard lock;
        CopyToSlot(g_shared.requestBuffer, *fitted);
        const BOOL signalled = SetEvent(g_openRequestEvent);
        // Only a signal some reader will consume makes the request one that waits to be taken.
        if (signalled) StoreShared(g_shared.requestsWritten, LoadShared(g_shared.requestsWritten) + 1);
        return signalled;
    } catch (...) {
        ql::WriteDiagnostic("QLPGPUtils: request not stored (out of memory)\n");
        return 0;
    }
}

QLPGP_API int SendCommand(const char* command) {
    CopyToSlot(g_shared.commandBuffer, command ? command : "");
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, kCommandEventName);
    if (event == nullptr) return 0;
    SetEvent(event);
    return CloseHandle(event);
}

QLPGP_API int IsOpenRequestPending(void) {
    if (g_requestTakenEvent == nullptr) return 0;
    return LoadShared(g_shared.requestsWritten) != LoadShared(g_shared.requestsTaken) ? 1 : 0;
}

QLPGP_API int WaitForOpenRequestTaken(DWORD timeoutMs) {
    if (g_requestTakenEvent == nullptr) return -1;
    const DWORD result = WaitForSingleObject(g_requestTakenEvent, timeoutMs);
    if (result == WAIT_OBJECT_0) return 1;
    return result == WAIT_TIMEOUT ? 0 : -1;
}

QLPGP_API HWND GetMainWnd(void) { return ToHwnd(LoadShared(g_shared.mainWnd)); }

QLPGP_API HWND GetHiddenWnd(void) { return ToHwnd(LoadShared(g_shared.hiddenWnd)); }

JNIEXPORT jstring JNICALL Java_com_brennick_util_Native_waitForOpenFileRequest(JNIEnv* env, jclass,
                                                                                  jint mainWnd,
                                                                                  jint hiddenWnd) {
    // Published on every call, first, also when the call then fails.
    StoreShared(g_shared.mainWnd, static_cast<std::uint32_t>(mainWnd));
    StoreShared(g_shared.hiddenWnd, static_cast<std::uint32_t>(hiddenWnd));

    if (g_openRequestEvent == nullptr) {
        ql::WriteDiagnostic("QLPGPUtils: open request monitor not found\n");
        return nullptr;
    }
    if (WaitForSingleObject(g_openRequestEvent, INFINITE) == WAIT_FAILED) {
        ql::WriteDiagnostic("QLPGPUtils: wait failed with error %d\n", static_cast<int>(GetLastError()));
        return nullptr;
    }
    try {
        return ToJavaString(env, TakeRequest());
    } catch (...) {
        ql::WriteDiagnostic("QLPGPUtils: request not taken (out of memory)\n");
        return nullptr;
    }
}

}  // extern "C"
