// sendEmail against a recording Simple MAPI library. Wine's mapi32 sends nothing (it opens a mailto
// URL and answers 0), so the library the native loads is our double (mapi_double.cpp), found by the
// native's own LoadLibraryA("mapi32"): this program runs with WINEDLLOVERRIDES=mapi32=n and points
// the DLL search at the folder of the double's form each case needs. The JNI side is the fake JNI.

#include <doctest/doctest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "bridge.h"
#include "fake_jni.h"
#include "files.h"
#include "sandbox.h"

using namespace ql::test;

namespace {

using SendEmailFn = jint(JNICALL*)(JNIEnv*, jclass, jobjectArray, jobjectArray, jobjectArray, jstring, jobjectArray,
                                   jstring, jboolean);

// Where the native's load finds mapi32: a folder holding one form of the double, or one holding none.
enum class Mapi { Wide, Ansi, NoSendFunction, Missing };

std::string FolderOf(Mapi mapi) {
    const std::string base = ProgramDirectory() + "mapi_doubles\\";
    switch (mapi) {
        case Mapi::Wide: return base + "wide";
        case Mapi::Ansi: return base + "ansi";
        case Mapi::NoSendFunction: return base + "none";
        case Mapi::Missing: return base + "missing";
    }
    return base;
}

struct Mail {
    std::vector<std::u16string> to, cc, bcc;
    std::u16string subject;
    std::vector<std::u16string> attachments;
    std::u16string body;
    bool showDialog = false;
};

struct MailCase {
    const char* name;
    Mapi mapi;
    Mail mail;
    const char* mapiAnswer;  // what the double's MAPISendMail returns
    jint expected;
    std::string record;      // what the double recorded; empty: never called
};

// A mail with every kind of field and text beyond ASCII: é (U+00E9, 0xE9 in code page 1252), the
// euro sign (U+20AC, 0x80) and Ł (U+0141, not in code page 1252).
const Mail kFullMail = {
    {u"Zo\u00E9 Martin", u"bob@example.com"},
    {u"carol@example.com"},
    {u"dave@example.com"},
    u"Cl\u00E9 \u20AC 5",
    {u"C:\\users\\root\\Temp\\R\u00E9sum\u00E9 \u0141.pgp"},
    u"Line one\r\nLine \u0141\u00E9",
    true,
};

// The whole mail as the double records it, with é, the euro sign and Ł spelled as that form writes them.
std::string FullMailRecord(const std::string& function, const std::string& e, const std::string& euro,
                           const std::string& l) {
    const std::string attachment = "\"C:\\users\\root\\Temp\\R" + e + "sum" + e + " " + l + ".pgp\"";
    return "call " + function + " session=0 ui=0 flags=9 reserved=0\n"
           "message reserved=0 subject=\"Cl" + e + " " + euro + " 5\" note=\"Line one\r\nLine " + l + e +
           "\" type=null date=null conversation=null flags=0 originator=null\n"
           "recipients count=4 array=set\n"
           "recip reserved=0 class=1 name=\"Zo" + e + " Martin\" address=null eid=0 entry=null\n"
           "recip reserved=0 class=1 name=\"bob@example.com\" address=null eid=0 entry=null\n"
           "recip reserved=0 class=2 name=\"carol@example.com\" address=null eid=0 entry=null\n"
           "recip reserved=0 class=3 name=\"dave@example.com\" address=null eid=0 entry=null\n"
           "files count=1 array=set\n"
           "file reserved=0 flags=0 position=4294967295 path=" + attachment + " name=" + attachment + " type=null\n";
}

const std::string kFullMailWide = FullMailRecord("MAPISendMailW", "\\u00E9", "\\u20AC", "\\u0141");
// The same mail in code page 1252: é is 0xE9, the euro sign 0x80, and Ł, which the code page lacks,
// becomes '?' rather than the look-alike L (Wine's best fit), so the attachment path names no other file.
const std::string kFullMailAnsi = FullMailRecord("MAPISendMail", "\\xE9", "\\x80", "?");

const Mail kEmptyMail = {};

std::string EmptyMailRecord(const char* function) {
    return std::string("call ") + function +
           " session=0 ui=0 flags=1 reserved=0\n"
           "message reserved=0 subject=\"\" note=\"\" type=null date=null conversation=null flags=0 originator=null\n"
           "recipients count=0 array=null\n"
           "files count=0 array=null\n";
}

const Mail kOnlyAttachments = {{}, {}, {}, u"Keys", {u"C:\\a.asc", u"C:\\b c\\d.asc"}, u"", true};
const std::string kOnlyAttachmentsAnsi =
    "call MAPISendMail session=0 ui=0 flags=9 reserved=0\n"
    "message reserved=0 subject=\"Keys\" note=\"\" type=null date=null conversation=null flags=0 originator=null\n"
    "recipients count=0 array=null\n"
    "files count=2 array=set\n"
    "file reserved=0 flags=0 position=4294967295 path=\"C:\\a.asc\" name=\"C:\\a.asc\" type=null\n"
    "file reserved=0 flags=0 position=4294967295 path=\"C:\\b c\\d.asc\" name=\"C:\\b c\\d.asc\" type=null\n";

const Mail kOnlyCc = {{}, {u"carol@example.com"}, {}, u"s", {}, u"b", false};
const std::string kOnlyCcWide =
    "call MAPISendMailW session=0 ui=0 flags=1 reserved=0\n"
    "message reserved=0 subject=\"s\" note=\"b\" type=null date=null conversation=null flags=0 originator=null\n"
    "recipients count=1 array=set\n"
    "recip reserved=0 class=2 name=\"carol@example.com\" address=null eid=0 entry=null\n"
    "files count=0 array=null\n";

// Simple MAPI would read each of these only up to the U+0000: the attachment would be C:\a.txt.
const Mail kNulAttachment = {{}, {}, {}, u"s", {std::u16string(u"C:\\a.txt\0x", 10)}, u"b", false};
const Mail kNulRecipient = {{std::u16string(u"bob\0@evil", 9)}, {}, {}, u"s", {}, u"b", false};
const Mail kNulBody = {{}, {}, {}, u"s", {}, std::u16string(u"b\0c", 3), false};

const MailCase kCases[] = {
    {"wide: the whole mail, UTF-16 as Java gave it", Mapi::Wide, kFullMail, "0", 0, kFullMailWide},
    {"ANSI: the whole mail in the ANSI code page", Mapi::Ansi, kFullMail, "0", 0, kFullMailAnsi},
    {"wide: nothing but empty fields, no dialog", Mapi::Wide, kEmptyMail, "0", 0, EmptyMailRecord("MAPISendMailW")},
    {"ANSI: nothing but empty fields, no dialog", Mapi::Ansi, kEmptyMail, "0", 0, EmptyMailRecord("MAPISendMail")},
    {"ANSI: attachments only", Mapi::Ansi, kOnlyAttachments, "0", 0, kOnlyAttachmentsAnsi},
    {"wide: a copy recipient only", Mapi::Wide, kOnlyCc, "0", 0, kOnlyCcWide},
    {"user abort reads as success (wide)", Mapi::Wide, kOnlyCc, "1", 0, kOnlyCcWide},
    {"user abort reads as success (ANSI)", Mapi::Ansi, kOnlyAttachments, "1", 0, kOnlyAttachmentsAnsi},
    {"MAPI_E_FAILURE is negated", Mapi::Wide, kOnlyCc, "2", -2, kOnlyCcWide},
    {"MAPI_E_LOGIN_FAILURE is negated", Mapi::Ansi, kOnlyAttachments, "3", -3, kOnlyAttachmentsAnsi},
    {"MAPI_E_ATTACHMENT_NOT_FOUND is negated", Mapi::Ansi, kOnlyAttachments, "11", -11, kOnlyAttachmentsAnsi},
    {"MAPI_E_UNKNOWN_RECIPIENT is negated", Mapi::Wide, kFullMail, "14", -14, kFullMailWide},
    {"MAPI_E_NOT_SUPPORTED is negated", Mapi::Wide, kOnlyCc, "26", -26, kOnlyCcWide},
    // Answers outside Simple MAPI's codes are one general failure, never a positive "not available".
    {"an HRESULT answer (0x80004005) is a general failure", Mapi::Wide, kOnlyCc, "2147500037", -2, kOnlyCcWide},
    {"0x80000000 is a general failure", Mapi::Ansi, kOnlyAttachments, "2147483648", -2, kOnlyAttachmentsAnsi},
    {"an answer past the last code (29) is a general failure", Mapi::Wide, kOnlyCc, "29", -2, kOnlyCcWide},
    {"0xFFFFFFFF is a general failure", Mapi::Ansi, kOnlyAttachments, "4294967295", -2, kOnlyAttachmentsAnsi},
    {"a U+0000 in an attachment: refused, nothing sent", Mapi::Wide, kNulAttachment, "0", -2, ""},
    {"a U+0000 in a recipient: refused, nothing sent", Mapi::Ansi, kNulRecipient, "0", -2, ""},
    {"a U+0000 in the body: refused, nothing sent", Mapi::Wide, kNulBody, "0", -2, ""},
    {"a MAPI library without MAPISendMail: procedure not found", Mapi::NoSendFunction, kFullMail, "0",
     static_cast<jint>(ERROR_PROC_NOT_FOUND), ""},
    {"no MAPI library at all: module not found", Mapi::Missing, kFullMail, "0", static_cast<jint>(ERROR_MOD_NOT_FOUND),
     ""},
};

class MailHarness {
public:
    MailHarness() {
        REQUIRE(bridge_.loaded());
        sendEmail = bridge_.Native<SendEmailFn>("sendEmail", 36);
        const bool exported = sendEmail != nullptr;
        REQUIRE(exported);
        MakeFolders(FolderOf(Mapi::Missing));
        SetEnvironmentVariableA("QL_MAPI_RECORD", record_.c_str());
    }
    ~MailHarness() {
        SetDllDirectoryA(nullptr);
        SetEnvironmentVariableA("QL_MAPI_RECORD", nullptr);
        SetEnvironmentVariableA("QL_MAPI_RESULT", nullptr);
    }

    // Calls the native with the mail, the MAPI library `mapi` and its answer; returns the result and
    // leaves the record in recorded.
    jint Send(FakeJvm& jvm, const Mail& mail, Mapi mapi, const char* mapiAnswer, jobjectArray oversized = nullptr) {
        DeleteFileA(record_.c_str());
        SetEnvironmentVariableA("QL_MAPI_RESULT", mapiAnswer);
        REQUIRE(SetDllDirectoryA(FolderOf(mapi).c_str()));
        to = jvm.NewStringArray(mail.to);
        cc = jvm.NewStringArray(mail.cc);
        bcc = jvm.NewStringArray(mail.bcc);
        attachments = jvm.NewStringArray(mail.attachments);
        subject = jvm.NewString(mail.subject);
        body = jvm.NewString(mail.body);
        const jint result = sendEmail(jvm.env(), nullptr, oversized ? oversized : to, cc, bcc, subject,
                                      oversized ? oversized : attachments, body,
                                      mail.showDialog ? JNI_TRUE : JNI_FALSE);
        recorded = ReadWholeFile(record_).value_or("");
        return result;
    }

    // The strings in the order the native must give their characters back.
    std::vector<jstring> ReleaseOrder(FakeJvm& jvm, const Mail& mail) const {
        std::vector<jstring> order = {subject, body};
        auto add = [&](jobjectArray array, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                order.push_back(static_cast<jstring>(
                    jvm.env()->GetObjectArrayElement(array, static_cast<jsize>(i))));
            }
        };
        add(to, mail.to.size());
        add(cc, mail.cc.size());
        add(bcc, mail.bcc.size());
        add(attachments, mail.attachments.size());
        return order;
    }

    SendEmailFn sendEmail = nullptr;
    jobjectArray to = nullptr, cc = nullptr, bcc = nullptr, attachments = nullptr;
    jstring subject = nullptr, body = nullptr;
    std::string recorded;

private:
    Bridge bridge_;
    Sandbox sandbox_;
    std::string record_ = sandbox_.root() + "mapi record.txt";
};

}  // namespace

TEST_SUITE_BEGIN("mail");

TEST_CASE("the mail tests run in code page 1252 with the MAPI double found first") {
    // Every expected ANSI record above is written in code page 1252.
    REQUIRE(GetACP() == 1252);
    // Without the override Wine loads its own mapi32 and the double is never seen.
    char overrides[256] = {};
    GetEnvironmentVariableA("WINEDLLOVERRIDES", overrides, sizeof overrides);
    CHECK(std::string(overrides).find("mapi32=n") != std::string::npos);
}

TEST_CASE("sendEmail hands the whole message to Simple MAPI and reports its answer") {
    MailHarness harness;
    for (const MailCase& c : kCases) {
        const std::string name = c.name;
        CAPTURE(name);
        FakeJvm jvm;
        const jint result = harness.Send(jvm, c.mail, c.mapi, c.mapiAnswer);
        CHECK(result == c.expected);
        CHECK(harness.recorded == c.record);
        // The library is loaded for the call only, also when it lacks the entry point.
        CHECK(GetModuleHandleA("mapi32") == nullptr);
        // Every string taken is given back, against its own string, in the order subject, body, to,
        // cc, bcc, attachments; every element's local reference is deleted again.
        CHECK(jvm.OutstandingChars() == 0);
        CHECK(jvm.ReleaseProblems().empty());
        CHECK(jvm.LiveElementRefs() == 0);
        if (c.mapi == Mapi::Wide || c.mapi == Mapi::Ansi) {
            const std::vector<jstring> expectedOrder = harness.ReleaseOrder(jvm, c.mail);
            CHECK(jvm.ReleasedStrings() == expectedOrder);
        } else {
            CHECK(jvm.ReleasedStrings().empty());  // without MAPI nothing is taken at all
        }
    }
}

TEST_CASE("sendEmail returns normally when the message records cannot be allocated") {
    MailHarness harness;
    FakeJvm jvm;
    // Arrays claiming far more elements than memory can hold records for.
    const jobjectArray oversized = jvm.NewOversizedArray(0x7FFFFFFF);
    const jint result = harness.Send(jvm, kFullMail, Mapi::Wide, "0", oversized);
    CHECK(result == -5);  // MAPI_E_INSUFFICIENT_MEMORY, negated
    CHECK(harness.recorded.empty());
    CHECK(GetModuleHandleA("mapi32") == nullptr);
    CHECK(jvm.OutstandingChars() == 0);
    CHECK(jvm.ReleaseProblems().empty());
    CHECK(jvm.LiveElementRefs() == 0);
}

TEST_SUITE_END();
