// Benchmark of the request channel of QLPGPUtils.dll: one writer process and one reader process, as
// the launcher's monitor window and the Java application are. Each round the writer calls
// RequestOpenFile while the reader's thread waits in waitForOpenFileRequest; the time is from the
// writer's call to the reader's return, both read on the performance counter, which the processes of
// one Wine session share. The writer starts the next round only after the reader has returned and
// had a millisecond to wait again, so every round wakes a waiting thread.
//   channel_bench.exe [rounds]            the writer (default 10000 rounds); starts the reader
//   channel_bench.exe reader <rounds>     the reader
// It prints a Markdown table of microseconds. Not a test: no time is judged.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_stats.h"
#include "bridge.h"
#include "child_process.h"
#include "fake_jni.h"
#include "files.h"

using namespace ql::test;
using ql::bench::NowSeconds;

namespace {

constexpr char kReturnedEvent[] = "QLBenchChannelReturned";
constexpr char kStampName[] = "QLBenchChannelStamp";
constexpr DWORD kTimeoutMs = 60000;
// A forwarded request of ordinary size.
constexpr char kRequest[] = "\"0*open*C:\\users\\root\\Documents\\letter to the bank.txt*\"";

// What the reader leaves for the writer after each return.
struct Stamp {
    double returnedAt;  // seconds on the performance counter
    LONG mismatches;    // returns whose text was not the request
};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "channel_bench: %s\n", what.c_str());
    std::exit(1);
}

Stamp* MapStamp(HANDLE& mapping) {
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Stamp), kStampName);
    if (mapping == nullptr) Fail("cannot map the stamp");
    auto* stamp = static_cast<Stamp*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Stamp)));
    if (stamp == nullptr) Fail("cannot view the stamp");
    return stamp;
}

int Reader(int rounds) {
    Bridge bridge;
    if (!bridge.loaded()) Fail("cannot load QLPGPUtils.dll");
    HANDLE mapping = nullptr;
    Stamp* stamp = MapStamp(mapping);
    HANDLE returned = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReturnedEvent);
    if (returned == nullptr) Fail("no event from the writer");
    FakeJvm jvm;
    const std::u16string expected(kRequest, kRequest + sizeof kRequest - 1);
    SetEvent(returned);  // ready
    for (int round = 0; round < rounds; ++round) {
        jstring answer = bridge.waitForOpenFileRequest(jvm.env(), nullptr, 0, 0);
        stamp->returnedAt = NowSeconds();
        if (answer == nullptr || jvm.Text(answer) != expected) ++stamp->mismatches;
        if (answer != nullptr) jvm.env()->DeleteLocalRef(answer);
        SetEvent(returned);
    }
    return 0;
}

int Writer(int rounds) {
    Bridge bridge;
    if (!bridge.loaded()) Fail("cannot load QLPGPUtils.dll");
    HANDLE mapping = nullptr;
    Stamp* stamp = MapStamp(mapping);
    HANDLE returned = CreateEventA(nullptr, FALSE, FALSE, kReturnedEvent);
    if (returned == nullptr) Fail("cannot create the event");

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    Child::Options options;
    options.captureOutput = false;
    Child reader(Quote(self) + " reader " + std::to_string(rounds), options);
    if (!reader.started()) Fail("cannot start the reader");
    if (WaitForSingleObject(returned, kTimeoutMs) != WAIT_OBJECT_0) Fail("the reader is not ready");

    ql::bench::Series oneWay{"RequestOpenFile call to the waiting thread's return", {}};
    ql::bench::Series call{"RequestOpenFile call alone (writer side)", {}};
    ql::bench::Series roundTrip{"RequestOpenFile call to the writer seeing the return (round trip)", {}};
    oneWay.samples.reserve(rounds);
    call.samples.reserve(rounds);
    roundTrip.samples.reserve(rounds);
    for (int round = 0; round < rounds; ++round) {
        Sleep(1);  // the reader is back in its wait
        const double start = NowSeconds();
        if (!bridge.RequestOpenFile(kRequest)) Fail("RequestOpenFile failed");
        const double stored = NowSeconds();
        if (WaitForSingleObject(returned, kTimeoutMs) != WAIT_OBJECT_0) Fail("the reader did not return");
        const double seen = NowSeconds();
        oneWay.samples.push_back((stamp->returnedAt - start) * 1e6);
        call.samples.push_back((stored - start) * 1e6);
        roundTrip.samples.push_back((seen - start) * 1e6);
    }
    if (!reader.Wait(kTimeoutMs) || reader.ExitCode() != 0) Fail("the reader did not end well");
    if (stamp->mismatches != 0) Fail(std::to_string(stamp->mismatches) + " returns were not the request");

    std::printf("### Channel (%d-bit), one writer and one reader process\n\n", static_cast<int>(sizeof(void*) * 8));
    ql::bench::PrintTable("us", {&oneWay, &call, &roundTrip}, nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 3 && std::string(argv[1]) == "reader") return Reader(std::atoi(argv[2]));
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: channel_bench.exe [rounds]\n");
        return 2;
    }
    return Writer(rounds);
}
