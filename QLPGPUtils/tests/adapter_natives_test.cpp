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

// Sets an environment variable of this process, which children inherit, for the object's life.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        char old[4096];
        const DWORD length = GetEnvironmentVariableA(name, old, sizeof old);
        had_ = length > 0 && length < sizeof old;
        if (had_) old_.assign(old, length);
        SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedVariable() { SetEnvironmentVariableA(name_, had_ ? old_.c_str() : nullptr); }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

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
    ScopedVariable script("QL_NETBIOS_DOUBLE", scenario);
    RunResult run = Run(PeerCommand("addresses", {ProgramDirectory() + "QLPGPUtils.dll", std::to_string(elementsBefore), java},
                                    "netbios_double\\adapter_peer.exe"),
                        30000);
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
    const std::string star = "callname=[*               ]";
    const std::string astat = " length=600 " + star + "\n";
    struct Case {
        const char* what;
        std::string scenario;  // "<enum result> <lana>:<reset result>:<status result>:<address>..."
        int elementsBefore;
        std::string java;
        std::string expected;
    };
    const Case cases[] = {
        {"several LANAs: a failing reset, a failing status, one adapter on two LANAs",
         "0 3:0:0:001a2b3c4d5e 5:35:0:aabbccddeeff 7:0:251:a0b1c2d3e4f5 9:0:0:001A2B3C4D5E 0:0:0:ffffffffff01", 2,
         "full",
         "netbios enum length=256\n"
         "netbios reset lana=3\n"
         "netbios astat lana=3" + astat +
         "netbios reset lana=5\n"
         "netbios reset lana=7\n"
         "netbios astat lana=7" + astat +
         "netbios reset lana=9\n"
         "netbios astat lana=9" + astat +
         "netbios reset lana=0\n"
         "netbios astat lana=0" + astat +
         "vector: before0 before1 001a2b3c4d5e 001a2b3c4d5e ffffffffff01\n"
         "pending: none\n"
         "misuses: 0 live local references: 0\n"
         "exit 0\n"},
        {"one answering LANA, appended after two elements", "0 4:0:0:00e04c680001", 2, "full",
         "netbios enum length=256\n"
         "netbios reset lana=4\n"
         "netbios astat lana=4" + astat +
         "vector: before0 before1 00e04c680001\n"
         "pending: none\n"
         "misuses: 0 live local references: 0\n"
         "exit 0\n"},
        {"no LANA at all: the runtime is not called", "0", 1, "untouchable",
         "netbios enum length=256\n"
         "returned without calling the runtime\n"
         "exit 0\n"},
        {"the enumeration fails", "35 3:0:0:001a2b3c4d5e", 0, "untouchable",
         "netbios enum length=256\n"
         "returned without calling the runtime\n"
         "exit 0\n"},
        {"every LANA fails", "0 1:35:0:001a2b3c4d5e 2:0:52:001a2b3c4d5f", 0, "untouchable",
         "netbios enum length=256\n"
         "netbios reset lana=1\n"
         "netbios reset lana=2\n"
         "netbios astat lana=2" + astat +
         "returned without calling the runtime\n"
         "exit 0\n"},
        {"class Vector missing", "0 4:0:0:00e04c680001", 2, "no-class",
         "netbios enum length=256\n"
         "netbios reset lana=4\n"
         "netbios astat lana=4" + astat +
         "QLPGPUtils: Failed to get class Vector\n"
         "vector: before0 before1\n"
         "pending: java/lang/NoClassDefFoundError\n"
         "misuses: 0 live local references: 0\n"
         "exit 0\n"},
        {"method add missing", "0 4:0:0:00e04c680001", 2, "no-method",
         "netbios enum length=256\n"
         "netbios reset lana=4\n"
         "netbios astat lana=4" + astat +
         "QLPGPUtils: Failed to get Vector.add method\n"
         "vector: before0 before1\n"
         "pending: java/lang/NoSuchMethodError\n"
         "misuses: 0 live local references: 0\n"
         "exit 0\n"},
    };
    DoubleForPeer double_;
    for (const Case& c : cases) {
        const std::string what = c.what;
        CAPTURE(what);
        CHECK(RunAgainstDouble(c.scenario, c.elementsBefore, c.java) == c.expected);
    }
}

TEST_SUITE_END();
