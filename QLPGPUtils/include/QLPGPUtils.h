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

// Stores the command text and signals the event "QLOPGPCmdlineRequest" if some process created it.
// Nonzero when that event existed.
QLPGP_API int SendCommand(const char* command);

// The Java application's main and hidden windows as last published; null before any publication.
QLPGP_API HWND GetMainWnd(void);
QLPGP_API HWND GetHiddenWnd(void);

#ifdef __cplusplus
}
#endif
