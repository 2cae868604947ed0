#include "win32_fake.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace fake {

ScriptedResults Script;
std::vector<std::string> Calls;
PFNCALLBACK Callback;
HCONV LastConversation;
HWND Partner = reinterpret_cast<HWND>(0x5150);

namespace {
std::vector<std::string> strings;  // HSZ n is strings[n - 1]
uintptr_t nextConversation = 0x100;
int registryKey;
std::string answer;  // what DdeGetData hands out

std::string Name(HSZ hsz) {
    auto i = reinterpret_cast<uintptr_t>(hsz);
    return i >= 1 && i <= strings.size() ? strings[i - 1] : "?";
}

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
    char line[1200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Calls.emplace_back(line);
}
}  // namespace

void Reset() {
    Script = ScriptedResults{};
    Calls.clear();
    Callback = nullptr;
    LastConversation = nullptr;
    strings.clear();
}

std::vector<std::string> Executed() {
    std::vector<std::string> out;
    for (const std::string &c : Calls)
        if (c.rfind("DdeClientTransaction(", 0) == 0 && c.find(",item=null,") != std::string::npos)
            out.push_back(c.substr(21, c.find(",len=") - 21));
    return out;
}

void Disconnect(HCONV conv) {
    if (Callback != nullptr) Callback(XTYP_DISCONNECT, 0, conv, nullptr, nullptr, nullptr, 0, 0);
}

}  // namespace fake

using namespace fake;

extern "C" {

UINT WINAPI DdeInitializeA(LPDWORD instance, PFNCALLBACK callback, DWORD command, DWORD reserved) {
    Log("DdeInitializeA(cmd=0x%x,%u)", command, reserved);
    if (Script.initResult != DMLERR_NO_ERROR) return Script.initResult;
    *instance = 77;
    Callback = callback;
    return DMLERR_NO_ERROR;
}

BOOL WINAPI DdeUninitialize(DWORD instance) {
    Log("DdeUninitialize(%u)", instance);
    return TRUE;
}

HSZ WINAPI DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codePage) {
    Log("DdeCreateStringHandleA(%u,%s,cp=%d)", instance, text, codePage);
    strings.emplace_back(text);
    return reinterpret_cast<HSZ>(strings.size());
}

BOOL WINAPI DdeFreeStringHandle(DWORD instance, HSZ hsz) {
    Log("DdeFreeStringHandle(%u,%s)", instance, Name(hsz).c_str());
    return TRUE;
}

HCONV WINAPI DdeConnect(DWORD instance, HSZ service, HSZ topic, PCONVCONTEXT context) {
    Log("DdeConnect(%u,%s,%s,%s)", instance, Name(service).c_str(), Name(topic).c_str(), context ? "ctx" : "null");
    if (Script.onConnect) Script.onConnect();
    bool ok = !Script.connects.empty() && Script.connects.front();
    if (!Script.connects.empty()) Script.connects.pop_front();
    if (!ok) return nullptr;
    LastConversation = reinterpret_cast<HCONV>(nextConversation++);
    return LastConversation;
}

UINT WINAPI DdeQueryConvInfo(HCONV, DWORD transaction, PCONVINFO info) {
    Log("DdeQueryConvInfo(0x%x,cb=%s)", transaction, info->cb == sizeof(CONVINFO) ? "size" : "wrong");
    if (!Script.queryConvInfo) return 0;
    info->hwndPartner = Partner;
    return sizeof(CONVINFO);
}

HDDEDATA WINAPI DdeClientTransaction(LPBYTE data, DWORD length, HCONV conv, HSZ item, UINT format, UINT type,
                                     DWORD timeout, LPDWORD result) {
    std::string command(data != nullptr ? reinterpret_cast<const char *>(data) : "");
    Log("DdeClientTransaction(%s,len=%u,%s,item=%s,fmt=%u,type=0x%x,timeout=%u)", command.c_str(), length,
        conv == LastConversation ? "conv" : "other", item ? Name(item).c_str() : "null", format, type, timeout);
    if (type == XTYP_REQUEST) {
        if (Script.answers.empty()) return nullptr;
        answer = Script.answers.front() + '\0';
        Script.answers.pop_front();
        return reinterpret_cast<HDDEDATA>(2);
    }
    if (Script.onTransaction) Script.onTransaction(command);
    Transaction t;
    if (!Script.transactions.empty()) {
        t = Script.transactions.front();
        Script.transactions.pop_front();
    }
    if (!t.completed) return nullptr;
    *result = t.status;
    return reinterpret_cast<HDDEDATA>(1);
}

UINT WINAPI DdeGetLastError(DWORD) { return Script.lastError; }

// The answer of the last request.
DWORD WINAPI DdeGetData(HDDEDATA, LPBYTE to, DWORD size, DWORD offset) {
    if (to == nullptr) return static_cast<DWORD>(answer.size());
    size_t n = offset < answer.size() ? std::min<size_t>(size, answer.size() - offset) : 0;
    std::memcpy(to, answer.data() + offset, n);
    return static_cast<DWORD>(n);
}
BOOL WINAPI DdeFreeDataHandle(HDDEDATA) { return TRUE; }

BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                           BOOL inherit, DWORD flags, LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                           LPPROCESS_INFORMATION info) {
    Log("CreateProcessA(%s,%s,%s,inherit=%d,flags=%u,env=%s,dir=%s,cb=%s,startf=%u,show=%u)",
        application ? application : "null", commandLine, (pa || ta) ? "attrs" : "null", inherit, flags,
        environment ? "set" : "null", directory ? directory : "null",
        startup->cb == sizeof(STARTUPINFOA) ? "size" : "wrong", startup->dwFlags, startup->wShowWindow);
    if (!Script.createProcess) return FALSE;
    info->hProcess = reinterpret_cast<HANDLE>(0xA1);
    info->hThread = reinterpret_cast<HANDLE>(0xA2);
    return TRUE;
}

DWORD WINAPI WaitForInputIdle(HANDLE process, DWORD milliseconds) {
    Log("WaitForInputIdle(%s,%u)", process == reinterpret_cast<HANDLE>(0xA1) ? "process" : "?", milliseconds);
    return Script.idleResult;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    auto h = reinterpret_cast<uintptr_t>(handle);
    Log("CloseHandle(%s)", h == 0xA1 ? "process" : h == 0xA2 ? "thread" : "?");
    return TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG, HWND window, UINT first, UINT last, UINT remove) {
    Log("PeekMessageA(%s,%u,%u,%u)", window ? "hwnd" : "null", first, last, remove);
    return Script.postedMessages > 0 || Script.quitFirst;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last) {
    Log("GetMessageA(%s,%u,%u)", window ? "hwnd" : "null", first, last);
    if (Script.quitFirst) {
        Script.quitFirst = false;
        msg->message = WM_QUIT;
        return FALSE;
    }
    Script.postedMessages--;
    msg->message = 0x400;
    return TRUE;
}

BOOL WINAPI SetForegroundWindow(HWND window) {
    Log("SetForegroundWindow(%s)", window == Partner ? "partner" : window ? "?" : "null");
    return TRUE;
}

LONG WINAPI GetWindowLongA(HWND window, int index) {
    Log("GetWindowLongA(%s,%d)", window == Partner ? "partner" : window ? "?" : "null", index);
    return Script.windowStyle;
}

BOOL WINAPI ShowWindow(HWND window, int show) {
    Log("ShowWindow(%s,%d)", window == Partner ? "partner" : "?", show);
    return TRUE;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options, REGSAM access,
                               LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
    Log("RegCreateKeyExA(%s,%s,%u,%s,%u,0x%x,%s,%s)", key == HKEY_CURRENT_USER ? "HKCU" : "?", subKey, reserved,
        cls ? "class" : "null", options, access, security ? "sa" : "null", disposition ? "disp" : "null");
    if (Script.regCreateResult != ERROR_SUCCESS) return Script.regCreateResult;
    *result = reinterpret_cast<HKEY>(&registryKey);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size) {
    DWORD value = 0;
    if (size == 4) std::memcpy(&value, data, 4);
    Log("RegSetValueExA(%s,%s,%u,%u,%u,%u)", key == reinterpret_cast<HKEY>(&registryKey) ? "key" : "?", name,
        reserved, type, value, size);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    Log("RegQueryValueExA(%s,%s)", key == reinterpret_cast<HKEY>(&registryKey) ? "key" : "?", name);
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
    Log("RegCloseKey(%s)", key == reinterpret_cast<HKEY>(&registryKey) ? "key" : "?");
    return ERROR_SUCCESS;
}

}  // extern "C"
