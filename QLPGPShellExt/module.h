// What the handler objects need from the library module: its handle and its lock count.
#pragma once

#include <windows.h>

// The module handle DllMain receives; the handler finds its own folder from it.
extern HINSTANCE g_hInstance;

namespace ql::shellext {

void LockModule() noexcept;
void UnlockModule() noexcept;

}  // namespace ql::shellext
