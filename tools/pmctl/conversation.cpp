#include "conversation.h"

#include <vector>

namespace {

constexpr DWORD kTimeoutMs = 20000;  // as the pass waits for each command

HDDEDATA CALLBACK IgnoreDde(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return nullptr; }

}  // namespace

PmConversation::~PmConversation() {
    if (instance_ != 0) DdeUninitialize(instance_);  // ends the conversation too
}

bool PmConversation::Open(std::string *why) {
    if (DdeInitializeA(&instance_, IgnoreDde, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
        instance_ = 0;
        *why = "DDE could not be initialized";
        return false;
    }
    HSZ name = DdeCreateStringHandleA(instance_, "PROGMAN", CP_WINANSI);
    conv_ = DdeConnect(instance_, name, name, nullptr);
    UINT error = conv_ == nullptr ? DdeGetLastError(instance_) : DMLERR_NO_ERROR;
    DdeFreeStringHandle(instance_, name);
    if (conv_ != nullptr) return true;
    *why = error == DMLERR_BUSY ? "the Program Manager is busy: it turned the conversation away"
                                : "no Program Manager answers (pmctl never starts one)";
    return false;
}

bool PmConversation::Request(const std::string &item, std::string *text, UINT *error) {
    HSZ name = DdeCreateStringHandleA(instance_, item.c_str(), CP_WINANSI);
    if (name == nullptr) {  // an empty or overlong name has no handle: nothing can answer to it
        *error = DMLERR_INVALIDPARAMETER;
        return false;
    }
    HDDEDATA data = DdeClientTransaction(nullptr, 0, conv_, name, CF_TEXT, XTYP_REQUEST, kTimeoutMs, nullptr);
    *error = data == nullptr ? DdeGetLastError(instance_) : DMLERR_NO_ERROR;
    DdeFreeStringHandle(instance_, name);
    if (data == nullptr) return false;
    std::vector<char> bytes(DdeGetData(data, nullptr, 0, 0) + 1, '\0');
    DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), static_cast<DWORD>(bytes.size() - 1), 0);
    DdeFreeDataHandle(data);
    *text = bytes.data();  // CF_TEXT ends at its NUL
    return true;
}

bool PmConversation::Execute(const std::string &command, std::string *outcome) {
    std::vector<BYTE> bytes(command.begin(), command.end());
    bytes.push_back(0);
    DWORD status = 0;
    HDDEDATA done = DdeClientTransaction(bytes.data(), static_cast<DWORD>(bytes.size()), conv_, nullptr, 0,
                                         XTYP_EXECUTE, kTimeoutMs, &status);
    if (done != nullptr && (status & DDE_FACK)) return true;
    UINT error = done == nullptr ? DdeGetLastError(instance_) : DMLERR_NO_ERROR;
    *outcome = error == DMLERR_EXECACKTIMEOUT ? "timed out"
               : error == DMLERR_SERVER_DIED  ? "the Program Manager went away"
                                              : "refused";
    return false;
}
