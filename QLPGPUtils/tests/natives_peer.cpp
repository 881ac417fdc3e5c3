// Another process for the file and window natives to meet: it holds a file open, or shows a
// top-level window and reports each activation. Arguments are taken as UTF-16, so paths and titles
// beyond the ANSI code page arrive whole. It runs until it is ended (a window also ends on WM_CLOSE).
// Paths and titles are given as the hexadecimal digits of their UTF-8 bytes, so that no code-page
// conversion of the command line can touch them.
// usage: natives_peer.exe hold <hex path> <share mode>   -> "held" once the file is open
//        natives_peer.exe window <hex title>             -> "window <handle>", then "activated" and
//                                                           "deactivated" as the window gains and loses it
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

void Print(const std::string& line) {
    const std::string record = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

LRESULT CALLBACK PeerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ACTIVATE) Print(LOWORD(wParam) == WA_INACTIVE ? "deactivated" : "activated");
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

int HoldFile(const wchar_t* path, DWORD share) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Print("cannot open: " + std::to_string(GetLastError()));
        return 1;
    }
    Print("held");
    Sleep(INFINITE);
    return 0;
}

int ShowWindow(const wchar_t* title) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &PeerWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QLNativesPeerWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) return 1;
    ::ShowWindow(window, SW_SHOWNOACTIVATE);
    Print("window " + std::to_string(static_cast<long long>(reinterpret_cast<INT_PTR>(window))));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

std::wstring FromHexUtf8(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    std::wstring text(bytes.size(), L'\0');
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                          static_cast<int>(text.size()));
    text.resize(units > 0 ? static_cast<std::size_t>(units) : 0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hold" && argc == 4)
        return HoldFile(FromHexUtf8(argv[2]).c_str(), static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
    if (mode == "window" && argc == 3) return ShowWindow(FromHexUtf8(argv[2]).c_str());
    return 2;
}
