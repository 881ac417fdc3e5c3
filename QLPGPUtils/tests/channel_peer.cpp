// A second process for the channel tests. It loads QLPGPUtils.dll as the Java application does and
// acts on its command line:
//   state                        print the shared block's handles, pending flag and request text
//   wait <main> <hidden> <count> call waitForOpenFileRequest <count> times, printing each result
//   send <text>                  RequestOpenFile
//   race <writer> <count>        send <count> self-checking texts as fast as possible
//   roundtrip                    state, then send "roundtrip*" and wait for it in this process
//   hold                         keep the library loaded until killed
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bridge.h"
#include "fake_jni.h"
#include "race_text.h"

using namespace ql::test;

namespace {

void PrintState(const Bridge& bridge) {
    const ql::SharedBlock* block = bridge.shared();
    std::printf("main=%d hidden=%d pending=%d request=[%s]\n", static_cast<int>(block->mainWnd),
                static_cast<int>(block->hiddenWnd), static_cast<int>(block->creatorPending),
                block->requestBuffer);
}

void PrintResult(FakeJvm& jvm, jstring result) {
    if (result == nullptr) {
        std::printf("null\n");
    } else {
        std::string text = jvm.Utf8(result);
        std::printf("got[%zu]:%s\n", text.size(), text.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    // Exact bytes for the tests to compare: no CR added before each line feed, nothing buffered.
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Bridge bridge;
    if (!bridge.loaded()) {
        std::printf("cannot load QLPGPUtils.dll (%lu)\n", GetLastError());
        return 3;
    }
    FakeJvm jvm;
    const std::string command = argv[1];

    if (command == "state") {
        PrintState(bridge);
    } else if (command == "wait" && argc == 5) {
        for (int i = 0, count = std::atoi(argv[4]); i < count; ++i)
            PrintResult(jvm, bridge.waitForOpenFileRequest(jvm.env(), nullptr, std::atoi(argv[2]), std::atoi(argv[3])));
    } else if (command == "send" && argc == 3) {
        std::printf("sent %d\n", bridge.RequestOpenFile(argv[2]));
    } else if (command == "race" && argc == 4) {
        const int writer = std::atoi(argv[2]);
        for (int i = 0, count = std::atoi(argv[3]); i < count; ++i) bridge.RequestOpenFile(RaceText(writer, i).c_str());
        std::printf("raced\n");
    } else if (command == "roundtrip") {
        PrintState(bridge);
        std::printf("sent %d\n", bridge.RequestOpenFile("roundtrip*"));
        PrintResult(jvm, bridge.waitForOpenFileRequest(jvm.env(), nullptr, 77, 78));
        PrintState(bridge);
    } else if (command == "hold") {
        std::printf("holding\n");
        Sleep(INFINITE);
    } else {
        return 2;
    }
    return 0;
}
