// The extension's AppID: the module's common replacement %APPID% of both registration scripts.
// Shared by the library and the installer's registry generator, so both expand the scripts alike.
#pragma once

namespace ql::shellext {

inline constexpr char16_t kAppId[] = u"{4C73F365-AEE3-40CD-BF6A-4F1D26EA2D5D}";

}  // namespace ql::shellext
