// JNI native listing the hardware addresses of the machine's network adapters, as NetBIOS reports
// them: one text of 12 lower-case hexadecimal digits per answering LAN adapter number (LANA).

#include <jni.h>
#include <windows.h>
// After windows.h, which it needs.
#include <nb30.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "com_brennick_util_Native.h"
#include "diagnostics.h"
#include "jni_text.h"
#include "late_bound.h"

namespace {

constexpr WORD kAdapterStatusBytes = 600;  // the status record and 30 name entries
// "*" and 15 blanks: the local adapter's own status.
constexpr char kLocalAdapterName[NCBNAMSZ + 1] = "*               ";
static_assert(sizeof(LANA_ENUM) == 256);
static_assert(sizeof(ADAPTER_STATUS) + 30 * sizeof(NAME_BUFFER) == kAdapterStatusBytes);

UCHAR EnumerateLanas(LANA_ENUM& lanas) {
    NCB ncb{};
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
    ncb.ncb_length = sizeof lanas;
    return ql::late::Netbios(&ncb);
}

UCHAR ResetAdapter(UCHAR lana) {
    NCB ncb{};  // no sessions or names requested: the default limits
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lana;
    return ql::late::Netbios(&ncb);
}

UCHAR ReadAdapterStatus(UCHAR lana, unsigned char (&status)[kAdapterStatusBytes]) {
    NCB ncb{};
    ncb.ncb_lana_num = lana;
    std::memcpy(ncb.ncb_callname, kLocalAdapterName, NCBNAMSZ);
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_buffer = status;
    ncb.ncb_length = kAdapterStatusBytes;
    return ql::late::Netbios(&ncb);
}

// The address of every LANA that answers, in LANA order; an adapter bound to several LANAs is listed
// once for each.
std::vector<std::string> AdapterAddresses() {
    std::vector<std::string> addresses;
    LANA_ENUM lanas{};
    if (EnumerateLanas(lanas) != NRC_GOODRET) return addresses;
    for (UCHAR i = 0; i < lanas.length; ++i) {
        const UCHAR lana = lanas.lana[i];
        if (ResetAdapter(lana) != NRC_GOODRET) continue;
        unsigned char status[kAdapterStatusBytes] = {};
        if (ReadAdapterStatus(lana, status) != NRC_GOODRET) continue;
        char text[13];
        std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", status[0], status[1], status[2], status[3],
                      status[4], status[5]);
        addresses.emplace_back(text);
    }
    return addresses;
}

void AppendToVector(JNIEnv* env, jobject vector, const std::vector<std::string>& addresses) {
    // A missing class or method leaves the runtime's exception pending for the caller.
    ql::LocalRef vectorClass(env, env->FindClass("java/util/Vector"));
    if (!vectorClass) {
        ql::WriteDiagnostic("QLPGPUtils: Failed to get class Vector\n");
        return;
    }
    jmethodID add = env->GetMethodID(static_cast<jclass>(vectorClass.get()), "add", "(Ljava/lang/Object;)Z");
    if (add == nullptr) {
        ql::WriteDiagnostic("QLPGPUtils: Failed to get Vector.add method\n");
        return;
    }
    for (const std::string& address : addresses) {
        ql::LocalRef text(env, env->NewStringUTF(address.c_str()));
        if (!text) return;  // no memory: the runtime's exception is pending, Java may not be called
        env->CallBooleanMethod(vector, add, text.get());
        if (env->ExceptionCheck()) return;
    }
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_brennick_util_Native_getHAddresses(JNIEnv* env, jclass, jobject vector) {
    // No vector to fill: nothing is asked of NetBIOS, whose reset would end this process's sessions.
    if (vector == nullptr) return;
    try {
        const std::vector<std::string> addresses = AdapterAddresses();
        // Nothing found: the runtime is not called at all.
        if (addresses.empty()) return;
        AppendToVector(env, vector, addresses);
    } catch (...) {
        ql::WriteDiagnostic("QLPGPUtils: adapter addresses not listed (out of memory)\n");
    }
}

}  // extern "C"
