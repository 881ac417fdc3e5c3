// Exports of QLPGPUtils.dll for native callers.
//
// The library keeps one data block shared by every process that loads it: the latest open request
// for the Java application and the two window handles the application last published.
#pragma once

#include <windows.h>

#if defined(QLPGPUTILS_BUILD)
#if defined(QLPGP_EXPORTS_BY_DEF)
#define QLPGP_API
#else
#define QLPGP_API __declspec(dllexport)
#endif
#else
#define QLPGP_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Stores the request (zero-terminated ANSI text) in the shared slot and wakes the Java application's
// waiting thread. Nonzero when the waiter was signalled. A request too long for the slot is cut
// after its last whole field; one whose first field alone does not fit is refused (result 0).
QLPGP_API int RequestOpenFile(const char* request);

// Nonzero while a request stored by RequestOpenFile has not yet been taken by the Java application's
// waiting thread: a request stored now would replace it. Always 0 in a process that could not open
// the event that tells of takes (writers then hand over at once, and the latest request wins).
QLPGP_API int IsOpenRequestPending(void);

// Waits until the Java application's waiting thread takes a request from the slot: 1 when it did,
// 0 on time-out, -1 when this process cannot wait for it. Meant for one waiter, the launcher.
QLPGP_API int WaitForOpenRequestTaken(DWORD timeoutMs);

// Stores the command text and signals the event "QLOPGPCmdlineRequest" if some process created it.
// Nonzero when that event existed.
QLPGP_API int SendCommand(const char* command);

// The Java application's main and hidden windows as last published; null before any publication.
QLPGP_API HWND GetMainWnd(void);
QLPGP_API HWND GetHiddenWnd(void);

#ifdef __cplusplus
}
#endif
