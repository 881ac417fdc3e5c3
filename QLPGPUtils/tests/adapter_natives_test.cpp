// getHAddresses of QLPGPUtils.dll: against Wine's own NetBIOS in this process, and against a NetBIOS
// double (netbios_double/netapi32.dll) in adapter_peer.exe processes (a copy of bridge_peer.exe beside
// the double) for what Wine's NetBIOS cannot be made to show: several LANAs, adapters that fail, the
// same adapter on two LANAs, no LANA at all. The Java side is the fake JNI environment.
#include <doctest/doctest.h>

#include "printers.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "bridge.h"
#include "bridge_peer.h"
#include "captured_output.h"
#include "child_process.h"
#include "fake_jni.h"
#include "files.h"
#include "ql/unique_handle.h"

using namespace ql::test;

namespace {

using GetHAddressesFn = void(JNICALL*)(JNIEnv*, jclass, jobject);

bool IsAddressText(const std::string& text) {
    return text.size() == 12 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); });
}

// The host's adapter addresses as Linux lists them, seen through Wine's drive Z: (the host's root),
// without separators; the loopback's all-zero address left out.
std::set<std::string> HostAddresses() {
    std::set<std::string> addresses;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA("Z:\\sys\\class\\net\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return addresses;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const auto text = ReadWholeFile("Z:\\sys\\class\\net\\" + name + "\\address");
        if (!text) continue;
        std::string digits;
        for (char c : *text)
            if (std::isxdigit(static_cast<unsigned char>(c))) digits += static_cast<char>(std::tolower(c));
        if (digits.size() == 12 && digits != "000000000000") addresses.insert(digits);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return addresses;
}

// Wine takes its own netapi32 unless told otherwise; this per-program setting of Wine's (read when
// the program starts) makes adapter_peer.exe, and only it, load the double beside it. A variable
// WINEDLLOVERRIDES set here would not reach the child: Wine reads it from the host environment.
class DoubleForPeer {
public:
    DoubleForPeer() {
        REQUIRE(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key_.put(), nullptr) ==
                ERROR_SUCCESS);
        const char native[] = "native";
        REQUIRE(RegSetValueExA(key_.get(), "netapi32", 0, REG_SZ, reinterpret_cast<const BYTE*>(native),
                               sizeof native) == ERROR_SUCCESS);
    }
    ~DoubleForPeer() {
        key_.reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\adapter_peer.exe");
    }

private:
    static constexpr char kKey[] = "Software\\Wine\\AppDefaults\\adapter_peer.exe\\DllOverrides";
    ql::UniqueRegKey key_;
};

// One adapter_peer run against the double with this scenario (see netbios_double/netapi32.cpp).
std::string RunAgainstDouble(const std::string& scenario, int elementsBefore, const std::string& java) {
    SetEnvironmentVariableA("QL_NETBIOS_DOUBLE", scenario.c_str());  // the peer inherits it
    RunResult run = Run(PeerCommand("addresses", {ProgramDirectory() + "QLPGPUtils.dll", std::to_string(elementsBefore), java},
                                    "netbios_double\\adapter_peer.exe"),
                        30000);
    SetEnvironmentVariableA("QL_NETBIOS_DOUBLE", nullptr);
    REQUIRE(run.finished);
    return run.output + "exit " + std::to_string(run.exitCode) + "\n";
}

}  // namespace

TEST_SUITE_BEGIN("adapter_natives");

TEST_CASE("Wine's own NetBIOS: the host's address is appended after what the vector held") {
    Bridge bridge;
    REQUIRE(bridge.loaded());
    const auto getHAddresses = bridge.Native<GetHAddressesFn>("getHAddresses", 12);
    REQUIRE(reinterpret_cast<void*>(getHAddresses) != nullptr);
    const std::set<std::string> host = HostAddresses();
    REQUIRE_MESSAGE(!host.empty(), "no adapter address found under Z:\\sys\\class\\net");

    FakeJvm jvm;
    jobject vector = jvm.NewVector({u"first", u"second"});
    CapturedOutput output;
    getHAddresses(jvm.env(), nullptr, vector);
    CHECK(output.Text().empty());

    const auto texts = jvm.VectorTexts(vector);
    REQUIRE(texts.size() > 2);
    CHECK(texts[0] == u"first");
    CHECK(texts[1] == u"second");
    bool hostSeen = false;
    for (std::size_t i = 2; i < texts.size(); ++i) {
        const std::string address = ToModifiedUtf8(texts[i]);
        CAPTURE(address);
        CHECK(IsAddressText(address));
        hostSeen = hostSeen || host.count(address) != 0;
    }
    CHECK(hostSeen);
    CHECK(jvm.PendingException().empty());
    CHECK(jvm.Misuses().empty());
    CHECK(jvm.LiveLocalRefs() == 0);

    // A null vector is refused without a crash and without asking NetBIOS.
    getHAddresses(jvm.env(), nullptr, nullptr);
}

TEST_CASE("the NetBIOS double: LANAs in order, failing adapters skipped, duplicates kept, Java only when found") {
    // What the double reports of one LANA: the reset, then the adapter status if the reset succeeded.
    auto reset = [](int lana) { return "netbios reset lana=" + std::to_string(lana) + "\n"; };
    auto asked = [&](int lana) {
        return reset(lana) + "netbios astat lana=" + std::to_string(lana) + " length=600 callname=[*               ]\n";
    };
    // What the peer saw of the runtime afterwards.
    auto java = [](const std::string& vector, const std::string& pending) {
        return "vector: " + vector + "\npending: " + pending + "\nmisuses: 0 live local references: 0\n";
    };
    const std::string untouched = "returned without calling the runtime\n";
    struct Case {
        const char* what;
        std::string scenario;  // "<enum result> <lana>:<reset result>:<status result>:<address>..."
        int elementsBefore;
        std::string java;
        std::string expected;  // between the enumeration and the exit code
    };
    const Case cases[] = {
        {"several LANAs: a failing reset, a failing status, one adapter on two LANAs",
         "0 3:0:0:001a2b3c4d5e 5:35:0:aabbccddeeff 7:0:251:a0b1c2d3e4f5 9:0:0:001A2B3C4D5E 0:0:0:ffffffffff01", 2,
         "full",
         asked(3) + reset(5) + asked(7) + asked(9) + asked(0) +
             java("before0 before1 001a2b3c4d5e 001a2b3c4d5e ffffffffff01", "none")},
        {"one answering LANA, appended after two elements", "0 4:0:0:00e04c680001", 2, "full",
         asked(4) + java("before0 before1 00e04c680001", "none")},
        {"no LANA at all: the runtime is not called", "0", 1, "untouchable", untouched},
        {"the enumeration fails", "35 3:0:0:001a2b3c4d5e", 0, "untouchable", untouched},
        {"every LANA fails", "0 1:35:0:001a2b3c4d5e 2:0:52:001a2b3c4d5f", 0, "untouchable",
         reset(1) + asked(2) + untouched},
        {"class Vector missing", "0 4:0:0:00e04c680001", 2, "no-class",
         asked(4) + "QLPGPUtils: Failed to get class Vector\n" + java("before0 before1", "java/lang/NoClassDefFoundError")},
        {"method add missing", "0 4:0:0:00e04c680001", 2, "no-method",
         asked(4) + "QLPGPUtils: Failed to get Vector.add method\n" +
             java("before0 before1", "java/lang/NoSuchMethodError")},
    };
    DoubleForPeer double_;
    for (const Case& c : cases) {
        const std::string what = c.what;
        CAPTURE(what);
        CHECK(RunAgainstDouble(c.scenario, c.elementsBefore, c.java) ==
              "netbios enum length=256\n" + c.expected + "exit 0\n");
    }
}

TEST_SUITE_END();
