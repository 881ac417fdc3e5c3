// JNI native sendEmail: hands one mail to the user's mail program through Simple MAPI, loaded at the
// time of the call.
//
// Java strings are taken as UTF-16. A MAPI library that offers MAPISendMailW gets the text as it is;
// otherwise it is converted to the ANSI code page for MAPISendMail. Characters that code page lacks
// become '?', never a look-alike letter, so a path that cannot be expressed fails to attach instead of
// naming some other file.

#include <jni.h>
#include <windows.h>
#include <mapi.h>

#include <deque>
#include <new>
#include <string>
#include <vector>

#include "com_brennick_util_Native.h"
#include "mapi_wide.h"
#include "java_chars.h"
#include "ql/ansi_text.h"

namespace {

using SendMailA = ULONG(WINAPI*)(LHANDLE, ULONG_PTR, lpMapiMessage, FLAGS, ULONG);
using SendMailW = ULONG(WINAPI*)(LHANDLE, ULONG_PTR, MapiMessageW*, FLAGS, ULONG);

constexpr ULONG kNoPosition = 0xFFFFFFFF;
constexpr ULONG kUserAbort = 1;           // MAPI_USER_ABORT: the user cancelled, reported as success
constexpr jint kOutOfMemory = -5;         // negated MAPI_E_INSUFFICIENT_MEMORY
// The highest Simple MAPI error code (MAPI_E_ATTACHMENT_TOO_LARGE). A mail program that answers
// anything beyond it (an HRESULT such as 0x80004005, say) is reported as a general failure, never
// as a negated number that could read as "Simple MAPI not available" or overflow.
constexpr ULONG kLastMapiError = 28;
constexpr jint kGeneralFailure = -MAPI_E_FAILURE;

struct ModuleOwner {
    HMODULE module;
    ~ModuleOwner() { FreeLibrary(module); }
};

// The mail's texts, UTF-16 as Java gave them. Recipients in the order to, cc, bcc.
struct Mail {
    std::wstring subject;
    std::wstring body;
    struct Recipient {
        ULONG recipClass;
        std::wstring name;
    };
    std::vector<Recipient> recipients;
    std::vector<std::wstring> attachments;
};

// The result for Java: 0 for a sent or cancelled mail, else the negated MAPI error code.
jint ToJavaResult(ULONG result) {
    if (result == SUCCESS_SUCCESS || result == kUserAbort) return 0;
    if (result > kLastMapiError) return kGeneralFailure;
    return -static_cast<jint>(result);
}

bool HasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// Simple MAPI reads every text only up to a U+0000: "C:\\a.txt<U+0000>x" would attach C:\a.txt.
bool AnyTextHasNul(const Mail& mail) {
    if (HasNul(mail.subject) || HasNul(mail.body)) return true;
    for (const Mail::Recipient& recipient : mail.recipients)
        if (HasNul(recipient.name)) return true;
    for (const std::wstring& attachment : mail.attachments)
        if (HasNul(attachment)) return true;
    return false;
}

jsize LengthOf(JNIEnv* env, jobjectArray array) { return array == nullptr ? 0 : env->GetArrayLength(array); }

// Takes every text of the call, in the order subject, body, to, cc, bcc, attachments. The array
// elements' local references are deleted once their characters have been given back.
class JavaArguments {
public:
    explicit JavaArguments(JNIEnv* env) : elements_{env, {}}, chars_(env) {}

    void Reserve(std::size_t strings) {
        chars_.Reserve(strings);
        elements_.refs.reserve(strings);
    }
    std::wstring Take(jstring string) { return chars_.Take(string); }
    std::wstring TakeElement(jobjectArray array, jsize index) {
        jobject element = array == nullptr ? nullptr : elements_.env->GetObjectArrayElement(array, index);
        if (element != nullptr) elements_.refs.push_back(element);  // reserved: cannot throw
        return chars_.Take(static_cast<jstring>(element));
    }

private:
    struct LocalRefs {
        JNIEnv* env;
        std::vector<jobject> refs;
        ~LocalRefs() {
            for (jobject ref : refs) env->DeleteLocalRef(ref);
        }
    };
    LocalRefs elements_;        // destroyed after the characters are released
    ql::JavaCharsList chars_;
};

std::string ToAnsi(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = ql::WideToAnsiNoBestFit(text.data(), length, nullptr, 0, nullptr);
    if (bytes <= 0) return std::string(text.size(), '?');
    std::string ansi(static_cast<std::size_t>(bytes), '\0');
    ql::WideToAnsiNoBestFit(text.data(), length, ansi.data(), bytes, nullptr);
    return ansi;
}

ULONG SendWide(SendMailW send, Mail& mail, FLAGS flags) {
    std::vector<MapiRecipDescW> recipients(mail.recipients.size());
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        recipients[i].ulRecipClass = mail.recipients[i].recipClass;
        recipients[i].lpszName = mail.recipients[i].name.data();
    }
    std::vector<MapiFileDescW> files(mail.attachments.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].nPosition = kNoPosition;
        files[i].lpszPathName = files[i].lpszFileName = mail.attachments[i].data();
    }
    MapiMessageW message = {};
    message.lpszSubject = mail.subject.data();
    message.lpszNoteText = mail.body.data();
    message.nRecipCount = static_cast<ULONG>(recipients.size());
    message.lpRecips = recipients.empty() ? nullptr : recipients.data();
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();
    return send(0, 0, &message, flags, 0);
}

ULONG SendAnsi(SendMailA send, const Mail& mail, FLAGS flags) {
    // A deque keeps every converted text where it is while more are added.
    std::deque<std::string> texts;
    auto ansi = [&](const std::wstring& text) { return texts.emplace_back(ToAnsi(text)).data(); };

    std::vector<MapiRecipDesc> recipients(mail.recipients.size());
    for (std::size_t i = 0; i < recipients.size(); ++i) {
        recipients[i].ulRecipClass = mail.recipients[i].recipClass;
        recipients[i].lpszName = ansi(mail.recipients[i].name);
    }
    std::vector<MapiFileDesc> files(mail.attachments.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].nPosition = kNoPosition;
        files[i].lpszPathName = files[i].lpszFileName = ansi(mail.attachments[i]);
    }
    MapiMessage message = {};
    message.lpszSubject = ansi(mail.subject);
    message.lpszNoteText = ansi(mail.body);
    message.nRecipCount = static_cast<ULONG>(recipients.size());
    message.lpRecips = recipients.empty() ? nullptr : recipients.data();
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();
    return send(0, 0, &message, flags, 0);
}

jint SendEmail(JNIEnv* env, jobjectArray to, jobjectArray cc, jobjectArray bcc, jstring subject,
               jobjectArray attachments, jstring body, bool showDialog) {
    HMODULE library = LoadLibraryA("mapi32");
    if (library == nullptr) return static_cast<jint>(GetLastError());
    ModuleOwner libraryOwner{library};

    auto sendWide = reinterpret_cast<SendMailW>(reinterpret_cast<void*>(GetProcAddress(library, "MAPISendMailW")));
    SendMailA sendAnsi = nullptr;
    if (sendWide == nullptr) {
        sendAnsi = reinterpret_cast<SendMailA>(reinterpret_cast<void*>(GetProcAddress(library, "MAPISendMail")));
        if (sendAnsi == nullptr) {
            const DWORD error = GetLastError();
            return static_cast<jint>(error != 0 ? error : ERROR_PROC_NOT_FOUND);
        }
    }

    ULONG result = 0;
    try {
        // Declared after the library, so the characters are given back before it is released.
        JavaArguments arguments(env);
        Mail mail;
        const jobjectArray recipientArrays[3] = {to, cc, bcc};
        const ULONG classes[3] = {MAPI_TO, MAPI_CC, MAPI_BCC};
        jsize lengths[3] = {};
        std::size_t recipientCount = 0;
        for (int i = 0; i < 3; ++i) recipientCount += static_cast<std::size_t>(lengths[i] = LengthOf(env, recipientArrays[i]));
        const jsize attachmentCount = LengthOf(env, attachments);

        arguments.Reserve(2 + recipientCount + static_cast<std::size_t>(attachmentCount));
        mail.recipients.reserve(recipientCount);
        mail.attachments.reserve(static_cast<std::size_t>(attachmentCount));

        mail.subject = arguments.Take(subject);
        mail.body = arguments.Take(body);
        for (int i = 0; i < 3; ++i) {
            for (jsize element = 0; element < lengths[i]; ++element) {
                mail.recipients.push_back({classes[i], arguments.TakeElement(recipientArrays[i], element)});
            }
        }
        for (jsize element = 0; element < attachmentCount; ++element) {
            mail.attachments.push_back(arguments.TakeElement(attachments, element));
        }

        if (AnyTextHasNul(mail)) return kGeneralFailure;  // nothing is sent

        const FLAGS flags = showDialog ? (MAPI_LOGON_UI | MAPI_DIALOG) : MAPI_LOGON_UI;
        result = sendWide != nullptr ? SendWide(sendWide, mail, flags) : SendAnsi(sendAnsi, mail, flags);
    } catch (...) {
        // Out of memory (std::bad_alloc, or std::length_error for an absurd array length): whatever
        // was taken has been given back by its owner.
        return kOutOfMemory;
    }
    return ToJavaResult(result);
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_brennick_util_Native_sendEmail(JNIEnv* env, jclass, jobjectArray to, jobjectArray cc,
                                                                 jobjectArray bcc, jstring subject,
                                                                 jobjectArray attachments, jstring body,
                                                                 jboolean showDialog) {
    try {
        return SendEmail(env, to, cc, bcc, subject, attachments, body, showDialog != JNI_FALSE);
    } catch (...) {
        return kOutOfMemory;
    }
}

}  // extern "C"
