// A recording Simple MAPI library (mapi32.dll) for the mail tests. Wine's own mapi32 only opens a
// mailto URL, so tests put this one where the bridge library's LoadLibraryA("mapi32") finds it.
//
// Built in three forms: MAPI_DOUBLE_WIDE exports MAPISendMailW and MAPISendMail, MAPI_DOUBLE_ANSI
// only MAPISendMail, and neither form exports no send function at all. Each call appends the whole
// message as text to the file named by QL_MAPI_RECORD and answers the number in QL_MAPI_RESULT
// (0 when unset). Wide text is written with every unit above 0x7F as \uXXXX, ANSI text with every
// byte above 0x7F as \xNN, so a test sees exactly which units or bytes arrived.

#include <windows.h>
#include <mapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mapi_wide.h"

namespace {

[[maybe_unused]] std::string Escaped(const char* text) {
    if (text == nullptr) return "null";
    std::string out = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        }
    }
    return out + "\"";
}

[[maybe_unused]] std::string Escaped(const wchar_t* text) {
    if (text == nullptr) return "null";
    std::string out = "\"";
    for (const wchar_t* c = text; *c != L'\0'; ++c) {
        if (*c < 0x80) {
            out += static_cast<char>(*c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(*c));
            out += escape;
        }
    }
    return out + "\"";
}

[[maybe_unused]] std::string Pointer(const void* pointer) { return pointer == nullptr ? "null" : "set"; }

std::string Environment(const char* name) {
    char value[1024] = {};
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The records of both text forms have the same fields: Message is MapiMessage or MapiMessageW.
template <typename Message>
[[maybe_unused]] ULONG Record(const char* function, LHANDLE session, ULONG_PTR uiParam, const Message* message, FLAGS flags,
             ULONG reserved) {
    std::string text = std::string("call ") + function + " session=" + std::to_string(session) +
                       " ui=" + std::to_string(uiParam) + " flags=" + std::to_string(flags) +
                       " reserved=" + std::to_string(reserved) + "\n";
    if (message == nullptr) {
        text += "message null\n";
    } else {
        text += "message reserved=" + std::to_string(message->ulReserved) + " subject=" + Escaped(message->lpszSubject) +
                " note=" + Escaped(message->lpszNoteText) + " type=" + Escaped(message->lpszMessageType) +
                " date=" + Escaped(message->lpszDateReceived) + " conversation=" +
                Escaped(message->lpszConversationID) + " flags=" + std::to_string(message->flFlags) +
                " originator=" + Pointer(message->lpOriginator) + "\n";
        text += "recipients count=" + std::to_string(message->nRecipCount) + " array=" + Pointer(message->lpRecips) + "\n";
        for (ULONG i = 0; message->lpRecips != nullptr && i < message->nRecipCount; ++i) {
            const auto& recip = message->lpRecips[i];
            text += "recip reserved=" + std::to_string(recip.ulReserved) + " class=" + std::to_string(recip.ulRecipClass) +
                    " name=" + Escaped(recip.lpszName) + " address=" + Escaped(recip.lpszAddress) +
                    " eid=" + std::to_string(recip.ulEIDSize) + " entry=" + Pointer(recip.lpEntryID) + "\n";
        }
        text += "files count=" + std::to_string(message->nFileCount) + " array=" + Pointer(message->lpFiles) + "\n";
        for (ULONG i = 0; message->lpFiles != nullptr && i < message->nFileCount; ++i) {
            const auto& file = message->lpFiles[i];
            text += "file reserved=" + std::to_string(file.ulReserved) + " flags=" + std::to_string(file.flFlags) +
                    " position=" + std::to_string(file.nPosition) + " path=" + Escaped(file.lpszPathName) +
                    " name=" + Escaped(file.lpszFileName) + " type=" + Pointer(file.lpFileType) + "\n";
        }
    }

    const std::string path = Environment("QL_MAPI_RECORD");
    if (!path.empty()) {
        HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    return static_cast<ULONG>(std::strtoul(Environment("QL_MAPI_RESULT").c_str(), nullptr, 10));
}

}  // namespace

extern "C" {

#if defined(MAPI_DOUBLE_WIDE)
__declspec(dllexport) ULONG WINAPI MAPISendMailW(LHANDLE session, ULONG_PTR uiParam, MapiMessageW* message,
                                                 FLAGS flags, ULONG reserved) {
    return Record("MAPISendMailW", session, uiParam, message, flags, reserved);
}
#endif

#if defined(MAPI_DOUBLE_WIDE) || defined(MAPI_DOUBLE_ANSI)
__declspec(dllexport) ULONG WINAPI MAPISendMail(LHANDLE session, ULONG_PTR uiParam, lpMapiMessage message, FLAGS flags,
                                                ULONG reserved) {
    return Record("MAPISendMail", session, uiParam, message, flags, reserved);
}
#endif

// Present in every form, so the library without a send function is still a MAPI library.
__declspec(dllexport) ULONG WINAPI MAPILogoff(LHANDLE, ULONG_PTR, FLAGS, ULONG) { return SUCCESS_SUCCESS; }

}  // extern "C"
