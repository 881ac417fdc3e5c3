// Calls getHAddresses of QLPGPUtils.dll once, in a process of its own that finds the NetBIOS double
// beside it, and reports on standard output what the native did to the caller's vector.
// usage: adapter_peer.exe <QLPGPUtils.dll path> <elements already in the vector> <java>
//   java: "full" (a runtime with Vector and add), "no-class", "no-method", or "untouchable" (every
//   JNI function ends the process: the native must not call the runtime at all)
#include <jni.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge.h"
#include "fake_jni.h"

using namespace ql::test;

namespace {

using GetHAddressesFn = void(JNICALL*)(JNIEnv*, jclass, jobject);

void Print(const std::string& line) {
    const std::string record = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

[[noreturn]] void JavaCalled() {
    Print("the runtime was called");
    ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    HMODULE library = LoadLibraryA(argv[1]);
    auto getHAddresses = reinterpret_cast<GetHAddressesFn>(
        reinterpret_cast<void*>(GetProcAddress(library, JniExportName("getHAddresses", 12).c_str())));
    if (getHAddresses == nullptr) {
        Print("getHAddresses not found");
        return 2;
    }
    const std::string java = argv[3];

    if (java == "untouchable") {
        JNINativeInterface_ functions{};
        void** slots = reinterpret_cast<void**>(&functions);
        for (std::size_t i = 0; i < sizeof functions / sizeof(void*); ++i) slots[i] = reinterpret_cast<void*>(&JavaCalled);
        JNIEnv env{&functions};
        int vector = 0;  // never looked at
        getHAddresses(&env, nullptr, reinterpret_cast<jobject>(&vector));
        Print("returned without calling the runtime");
        return 0;
    }

    FakeJvm jvm;
    if (java == "no-class") jvm.RemoveClass("java/util/Vector");
    if (java == "no-method") jvm.RemoveMethod("java/util/Vector", "add", "(Ljava/lang/Object;)Z");
    std::vector<std::u16string> before;
    for (int i = 0; i < std::atoi(argv[2]); ++i) before.push_back(u"before" + std::u16string(1, u'0' + i));
    jobject vector = jvm.NewVector(before);

    getHAddresses(jvm.env(), nullptr, vector);

    std::string elements;
    for (const auto& text : jvm.VectorTexts(vector)) {
        if (!elements.empty()) elements += ' ';
        elements += ToModifiedUtf8(text);
    }
    Print("vector: " + elements);
    const std::string pending = jvm.PendingException();
    Print("pending: " + (pending.empty() ? std::string("none") : pending));
    char counts[96];
    std::snprintf(counts, sizeof counts, "misuses: %u live local references: %u",
                  static_cast<unsigned>(jvm.Misuses().size()), static_cast<unsigned>(jvm.LiveLocalRefs()));
    Print(counts);
    return 0;
}
