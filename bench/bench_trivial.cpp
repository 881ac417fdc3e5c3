// The floor of the start benchmarks: a GUI program, like the launcher, that does nothing.
//   bench_trivial.exe                  starts and ends
//   bench_trivial.exe chain <n>        one of n trivial starts in a row: starts the next and waits for it
//   bench_trivial.exe load <dll>;...   loads each DLL first (what a start with those imports costs);
//                                      names separated by semicolons, so paths may hold blanks
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    const std::string arguments = commandLine != nullptr ? commandLine : "";
    if (arguments.rfind("chain ", 0) == 0) {
        const int count = std::atoi(arguments.c_str() + 6);
        if (count <= 1) return 0;
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string next = "\"" + std::string(self) + "\" chain " + std::to_string(count - 1);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessA(nullptr, next.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            return 1;
        WaitForSingleObject(started.hProcess, INFINITE);
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return 0;
    }
    if (arguments.rfind("load ", 0) == 0) {
        std::string rest = arguments.substr(5);
        for (char* name = std::strtok(rest.data(), ";"); name != nullptr; name = std::strtok(nullptr, ";"))
            if (LoadLibraryA(name) == nullptr) return 2;
    }
    return 0;
}
