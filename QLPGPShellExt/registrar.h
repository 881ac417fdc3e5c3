// Running a registration script of this library against the registry (HKEY_CLASSES_ROOT).
#pragma once

#include <windows.h>

#include "registrar_script.h"

namespace ql::registrar {

enum class Direction { Register, Unregister };

// Loads REGISTRY resource `resourceId` from the library file `modulePath` (opened as a data file),
// expands the replacements and walks the key tree. S_OK or the HRESULT of the first failure; what
// was written before a failure stays.
HRESULT RunScriptResource(const char* modulePath, int resourceId, const Replacements& replacements,
                          Direction direction);

// Walks an already parsed tree under `root`; the part the resource loader and the tests share.
HRESULT ApplyScript(HKEY root, const std::vector<ScriptNode>& keys, Direction direction);

}  // namespace ql::registrar
