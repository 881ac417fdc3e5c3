// The Java side of the bridge library against its native side: every native method javac declares
// for com.brennick.util.Native must be exported by QLPGPUtils.dll under the exact name the Java
// runtime looks up, and under no other spelling.

#include <doctest/doctest.h>

#include "doctest_printers.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "binaries_paths.h"
#include "binary_checks.h"

using namespace ql;

namespace {

// Natives declared in Native.java that QLPGPUtils.dll does not implement yet. Remove a name when its
// native is built (the test fails while a listed name is exported); the list must be empty once all
// natives are built.
const std::set<std::string> kNativesNotBuiltYet = {
};

// The Java interface as agreed, written out by hand: each native with the 32-bit name the Java
// runtime looks up. The generated header must declare exactly these.
const std::vector<std::pair<std::string, std::string>> kAgreedNatives = {
    {"Java_com_brennick_util_Native_waitForOpenFileRequest", "_Java_com_brennick_util_Native_waitForOpenFileRequest@16"},
    {"Java_com_brennick_util_Native_getFileCreationTime", "_Java_com_brennick_util_Native_getFileCreationTime@12"},
    {"Java_com_brennick_util_Native_updateFileCreationTime", "_Java_com_brennick_util_Native_updateFileCreationTime@12"},
    {"Java_com_brennick_util_Native_getHwnd", "_Java_com_brennick_util_Native_getHwnd@12"},
    {"Java_com_brennick_util_Native_setForegroundWindow__Ljava_lang_String_2",
     "_Java_com_brennick_util_Native_setForegroundWindow__Ljava_lang_String_2@12"},
    {"Java_com_brennick_util_Native_setForegroundWindow__I", "_Java_com_brennick_util_Native_setForegroundWindow__I@12"},
    {"Java_com_brennick_util_Native_setTopmost", "_Java_com_brennick_util_Native_setTopmost@12"},
    {"Java_com_brennick_util_Native_setNotTopmost", "_Java_com_brennick_util_Native_setNotTopmost@12"},
    {"Java_com_brennick_util_Native_getLD", "_Java_com_brennick_util_Native_getLD@8"},
    {"Java_com_brennick_util_Native_getWindowsDir", "_Java_com_brennick_util_Native_getWindowsDir@8"},
    {"Java_com_brennick_util_Native_scheduleTask", "_Java_com_brennick_util_Native_scheduleTask@20"},
    {"Java_com_brennick_util_Native_sendEmail", "_Java_com_brennick_util_Native_sendEmail@36"},
    {"Java_com_brennick_util_Native_getHAddresses", "_Java_com_brennick_util_Native_getHAddresses@12"},
};

std::vector<checks::JniNative> GeneratedNatives() {
    std::ifstream header(QL_JNI_HEADER);
    REQUIRE_MESSAGE(header.good(), "cannot open " << QL_JNI_HEADER);
    auto natives = checks::ParseJniHeader(header);
    REQUIRE_FALSE(natives.empty());
    return natives;
}

std::vector<checks::JniNative> ParseText(const std::string& text) {
    std::istringstream in(text);
    return checks::ParseJniHeader(in);
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

TEST_CASE("header parsing and stdcall names") {
    const auto natives = ParseText(
        "/* Header for class x_Y */\n"
        "JNIEXPORT jlong JNICALL Java_x_Y_wide\n"
        "  (JNIEnv *, jclass, jlong, jdouble, jint);\n"
        "\n"
        "JNIEXPORT void JNICALL Java_x_Y_none\n"
        "\n"
        "  (JNIEnv *, jclass);\n"
        "JNIEXPORT jobject JNICALL Java_x_Y_one__Ljava_lang_String_2 (JNIEnv *, jclass, jstring);\n");
    REQUIRE(natives.size() == 3);
    CHECK(natives[0].name == "Java_x_Y_wide");
    CHECK(natives[0].returnType == "jlong");
    CHECK(natives[0].parameters == std::vector<std::string>{"JNIEnv*", "jclass", "jlong", "jdouble", "jint"});
    CHECK(checks::StdcallArgumentBytes(natives[0]) == 28);
    CHECK(checks::ExportNameOf(natives[0], 32) == "_Java_x_Y_wide@28");
    CHECK(checks::ExportNameOf(natives[0], 64) == "Java_x_Y_wide");
    CHECK(natives[1].name == "Java_x_Y_none");
    CHECK(checks::ExportNameOf(natives[1], 32) == "_Java_x_Y_none@8");
    CHECK(natives[2].name == "Java_x_Y_one__Ljava_lang_String_2");
    CHECK(checks::ExportNameOf(natives[2], 32) == "_Java_x_Y_one__Ljava_lang_String_2@12");

    CHECK(checks::Undecorated("_Java_x_Y_wide@28") == "Java_x_Y_wide");
    CHECK(checks::Undecorated("Java_x_Y_wide@28") == "Java_x_Y_wide");
    CHECK(checks::Undecorated("_Java_x_Y_wide") == "Java_x_Y_wide");
    CHECK(checks::Undecorated("Java_x_Y_wide") == "Java_x_Y_wide");
    CHECK(checks::Undecorated("Java_x_Y_wide@") == "Java_x_Y_wide@");
    CHECK(checks::ShortJniName("Java_x_Y_one__Ljava_lang_String_2") == "Java_x_Y_one");
    CHECK(checks::ShortJniName("Java_x_Y_has_1underscore") == "Java_x_Y_has_1underscore");

    CHECK_THROWS(ParseText("JNIEXPORT jint JNICALL Java_x_Y_cut\n"));
    CHECK_THROWS(ParseText("JNIEXPORT jint JNICALL Java_x_Y_bad\n  (JNIEnv *, jclass, jint;\n"));
    CHECK_THROWS(ParseText("JNIEXPORT jint JNICALL Java_x_Y_ptr\n  (JNIEnv *, jclass, int *);\n"));
    CHECK_THROWS(ParseText("JNIEXPORT jint JNICALL Java_x_Y_inst\n  (JNIEnv *, jobject, jint);\n"));
    CHECK(ParseText("#include <jni.h>\n").empty());
}

TEST_CASE("javac declares exactly the agreed natives, with the agreed 32-bit names") {
    const auto natives = GeneratedNatives();
    std::vector<std::string> declared;
    for (const auto& n : natives) declared.push_back(n.name);
    INFO("declared: " << Join(declared));
    CHECK(natives.size() == kAgreedNatives.size());
    for (const auto& [name, decorated] : kAgreedNatives) {
        CAPTURE(name);
        const auto found = std::find_if(natives.begin(), natives.end(), [&](const auto& n) { return n.name == name; });
        REQUIRE(found != natives.end());
        CHECK(checks::ExportNameOf(*found, 32) == decorated);
        CHECK(checks::ExportNameOf(*found, 64) == name);
    }
}

TEST_CASE("every pending native is one javac declares") {
    const auto natives = GeneratedNatives();
    for (const std::string& pending : kNativesNotBuiltYet) {
        CAPTURE(pending);
        CHECK(std::any_of(natives.begin(), natives.end(), [&](const auto& n) { return n.name == pending; }));
    }
}

TEST_CASE("QLPGPUtils.dll exports each built native under its one name, and no pending native") {
    const auto natives = GeneratedNatives();
    const checks::ImageDump image = checks::ReadDump(QL_QLPGPUTILS_DUMP);
    REQUIRE(image.format == (QL_BUILT_BITS == 64 ? "pei-x86-64" : "pei-i386"));
    std::size_t built = 0;
    for (const auto& native : natives) {
        CAPTURE(native.name);
        const auto spellings = checks::ExportsSpellingNative(image, native);
        INFO("exported as: " << Join(spellings));
        if (kNativesNotBuiltYet.count(native.name) != 0) {
            CHECK_MESSAGE(spellings.empty(), native.name << " is exported: remove it from kNativesNotBuiltYet");
        } else {
            ++built;
            CHECK(spellings == std::vector<std::string>{checks::ExportNameOf(native, QL_BUILT_BITS)});
        }
    }
    CHECK(built + kNativesNotBuiltYet.size() == natives.size());
    CHECK(built > 0);

    // Nothing else: the plain functions and one name per built native make up the table.
    std::set<std::string> expected = {"RequestOpenFile", "SendCommand", "GetMainWnd", "GetHiddenWnd",
                                      "IsOpenRequestPending", "WaitForOpenRequestTaken"};
    for (const auto& native : natives)
        if (kNativesNotBuiltYet.count(native.name) == 0) expected.insert(checks::ExportNameOf(native, QL_BUILT_BITS));
    INFO("exports: " << Join(image.exports));
    CHECK(std::set<std::string>(image.exports.begin(), image.exports.end()) == expected);
    CHECK(image.exports.size() == expected.size());
}
