// A stand-in for the system's netapi32.dll that answers Netbios from a scenario in the environment,
// so the adapter list can be tested with several LANAs, failing adapters and no adapter at all,
// which Wine's own NetBIOS cannot be made to show. Loaded only by processes started with
// WINEDLLOVERRIDES=netapi32=n from this folder.
//
// QL_NETBIOS_DOUBLE: "<enum result> [<lana>:<reset result>:<status result>:<12 hex digits>]..."
// Every request is reported on standard output as one line, with every member of the request block
// that is not the expected zero, so the test sees exactly what the caller asked.
#include <windows.h>
#include <nb30.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Lana {
    int number = 0;
    int resetResult = 0;
    int statusResult = 0;
    unsigned char address[6] = {};
};

struct Scenario {
    int enumResult = NRC_GOODRET;
    std::vector<Lana> lanas;
};

Scenario ReadScenario() {
    Scenario scenario;
    char text[1024] = {};
    if (GetEnvironmentVariableA("QL_NETBIOS_DOUBLE", text, sizeof text) == 0) return scenario;
    const char* at = text;
    int used = 0;
    if (std::sscanf(at, "%d%n", &scenario.enumResult, &used) != 1) return scenario;
    at += used;
    Lana lana;
    unsigned int b[6];
    while (std::sscanf(at, " %d:%d:%d:%2x%2x%2x%2x%2x%2x%n", &lana.number, &lana.resetResult, &lana.statusResult,
                       &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &used) == 9) {
        for (int i = 0; i < 6; ++i) lana.address[i] = static_cast<unsigned char>(b[i]);
        scenario.lanas.push_back(lana);
        at += used;
    }
    return scenario;
}

void Report(const std::string& line) {
    const std::string record = "netbios " + line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
}

bool AllZero(const unsigned char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// The members a request sets, by name; any other member that is not zero is reported as well.
std::string Describe(const NCB& ncb, bool buffer, bool callname) {
    std::string text;
    char part[64];
    if (ncb.ncb_lana_num != 0 || ncb.ncb_command != NCBENUM) {
        std::snprintf(part, sizeof part, " lana=%u", ncb.ncb_lana_num);
        text += part;
    }
    if (buffer) {
        std::snprintf(part, sizeof part, " length=%u", ncb.ncb_length);
        text += part;
        if (ncb.ncb_buffer == nullptr) text += " buffer=null";
    } else if (ncb.ncb_buffer != nullptr || ncb.ncb_length != 0) {
        text += " buffer-set";
    }
    if (callname) {
        text += " callname=[" + std::string(reinterpret_cast<const char*>(ncb.ncb_callname), NCBNAMSZ) + "]";
    } else if (!AllZero(ncb.ncb_callname, NCBNAMSZ)) {
        text += " callname-set";
    }
    if (ncb.ncb_retcode || ncb.ncb_lsn || ncb.ncb_num || ncb.ncb_rto || ncb.ncb_sto || ncb.ncb_post ||
        ncb.ncb_cmd_cplt || ncb.ncb_event || !AllZero(ncb.ncb_name, NCBNAMSZ) ||
        !AllZero(ncb.ncb_reserve, sizeof ncb.ncb_reserve))
        text += " other-members-set";
    return text;
}

const Lana* FindLana(const Scenario& scenario, int number) {
    for (const Lana& lana : scenario.lanas)
        if (lana.number == number) return &lana;
    return nullptr;
}

}  // namespace

extern "C" __attribute__((dllexport)) UCHAR WINAPI Netbios(PNCB ncb) {
    const Scenario scenario = ReadScenario();
    switch (ncb->ncb_command) {
    case NCBENUM: {
        Report("enum" + Describe(*ncb, true, false));
        if (scenario.enumResult != NRC_GOODRET) return static_cast<UCHAR>(scenario.enumResult);
        if (ncb->ncb_buffer == nullptr || ncb->ncb_length < sizeof(LANA_ENUM)) return NRC_BUFLEN;
        LANA_ENUM lanas{};
        lanas.length = static_cast<UCHAR>(scenario.lanas.size());
        for (std::size_t i = 0; i < scenario.lanas.size(); ++i) lanas.lana[i] = static_cast<UCHAR>(scenario.lanas[i].number);
        std::memcpy(ncb->ncb_buffer, &lanas, sizeof lanas);
        return NRC_GOODRET;
    }
    case NCBRESET: {
        Report("reset" + Describe(*ncb, false, false));
        const Lana* lana = FindLana(scenario, ncb->ncb_lana_num);
        return lana ? static_cast<UCHAR>(lana->resetResult) : NRC_BRIDGE;
    }
    case NCBASTAT: {
        Report("astat" + Describe(*ncb, true, true));
        const Lana* lana = FindLana(scenario, ncb->ncb_lana_num);
        if (lana == nullptr) return NRC_BRIDGE;
        if (lana->statusResult != NRC_GOODRET) return static_cast<UCHAR>(lana->statusResult);
        if (ncb->ncb_buffer == nullptr || ncb->ncb_length < sizeof(ADAPTER_STATUS)) return NRC_BUFLEN;
        // The whole buffer as the caller sized it: the address, then bytes that must not be read as one.
        std::memset(ncb->ncb_buffer, 0xEE, ncb->ncb_length);
        std::memcpy(ncb->ncb_buffer, lana->address, sizeof lana->address);
        return NRC_GOODRET;
    }
    default: {
        char line[32];
        std::snprintf(line, sizeof line, "command 0x%02x", ncb->ncb_command);
        Report(line);
        return NRC_ILLCMD;
    }
    }
}
