// qlctl: a small console tool for the demo and the tests, to talk to the running product from outside.
//
//   qlctl status          ask the launcher's monitor window for its status; prints "status <result>"
//   qlctl close-app       post WM_CLOSE to the test application's main window (the Java double's)
//   qlctl close-monitor   post WM_CLOSE to the launcher's monitor window
//   qlctl record <path>   print a file as it is (the Java double's record, for the demo)
//   qlctl tray <desktop>  what the notification area of that desktop shows: "tray logged in",
//                         "tray not logged in" or "tray no icon" (the tray monitor's picture)
//
// Exit codes: 0 done; 1 the window or file is missing; 2 bad usage; 3 the monitor did not answer.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "tray_harness.h"
#include "ql/product_names.h"

namespace {

constexpr char kTestApplicationClass[] = "QLTestJavaMain";
constexpr UINT kStatusTimeoutMs = 5000;

HWND FindMonitor() { return FindWindowA(ql::kMonitorClassName, ql::kMonitorWindowTitle); }

int Status() {
    HWND monitor = FindMonitor();
    if (monitor == nullptr) {
        std::printf("no monitor window\n");
        return 1;
    }
    const UINT message = RegisterWindowMessageA(ql::kStatusMessageName);
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(monitor, message, 0, 0, SMTO_ABORTIFHUNG, kStatusTimeoutMs, &result) == 0) {
        std::printf("no answer from the monitor window (error %lu)\n", GetLastError());
        return 3;
    }
    std::printf("status %lld\n", static_cast<long long>(static_cast<LRESULT>(result)));
    return 0;
}

int Close(HWND window, const char* what) {
    if (window == nullptr) {
        std::printf("no %s window\n", what);
        return 1;
    }
    if (!PostMessageA(window, WM_CLOSE, 0, 0)) {
        std::printf("cannot post WM_CLOSE to the %s window (error %lu)\n", what, GetLastError());
        return 1;
    }
    std::printf("posted WM_CLOSE to the %s window %lld\n", what,
                static_cast<long long>(reinterpret_cast<std::intptr_t>(window)));
    return 0;
}

int PrintFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot read %s (error %lu)\n", path, GetLastError());
        return 1;
    }
    // The bytes as they are, without a CR added before each line feed.
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) std::fwrite(chunk, 1, got, stdout);
    CloseHandle(file);
    return 0;
}

int Tray(const char* desktop) {
    if (!ql::test::UseDesktop(desktop)) {
        std::printf("no desktop %s\n", desktop);
        return 1;
    }
    std::printf("tray %s\n", ql::test::ToString(ql::test::ReadTrayPicture()));
    return 0;
}

int Usage() {
    std::printf("usage: qlctl status | close-app | close-monitor | record <path> | tray <desktop>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    int code = 2;
    if (command == "status" && argc == 2) {
        code = Status();
    } else if (command == "close-app" && argc == 2) {
        code = Close(FindWindowA(kTestApplicationClass, nullptr), "test application");
    } else if (command == "close-monitor" && argc == 2) {
        code = Close(FindMonitor(), "monitor");
    } else if (command == "tray" && argc == 3) {
        code = Tray(argv[2]);
    } else if (command == "record" && argc == 3) {
        code = PrintFile(argv[2]);
    } else {
        code = Usage();
    }
    std::fflush(stdout);
    return code;
}
