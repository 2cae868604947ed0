// DDEML client calls (USER32). The Linux implementation speaks the local DDE
// protocol of ddewire.h to servers such as tools/progman.
#pragma once

#include "w32types.h"

typedef struct HCONV__ *HCONV;
typedef struct HSZ__ *HSZ;
typedef struct HDDEDATA__ *HDDEDATA;

typedef HDDEDATA(CALLBACK *PFNCALLBACK)(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                                         HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);

typedef struct tagCONVCONTEXT {
    UINT cb;
    UINT wFlags;
    UINT wCountryID;
    int iCodePage;
    DWORD dwLangID;
    DWORD dwSecurity;
    BYTE qos[12];  // SECURITY_QUALITY_OF_SERVICE, unused here
} CONVCONTEXT, *PCONVCONTEXT;

typedef struct tagCONVINFO {
    DWORD cb;
    DWORD_PTR hUser;
    HCONV hConvPartner;
    HSZ hszSvcPartner;
    HSZ hszServiceReq;
    HSZ hszTopic;
    HSZ hszItem;
    UINT wFmt;
    UINT wType;
    UINT wStatus;
    UINT wConvst;
    UINT wLastError;
    void *hConvList;
    CONVCONTEXT ConvCtxt;
    HWND hwnd;
    HWND hwndPartner;
} CONVINFO, *PCONVINFO;

#define APPCMD_CLIENTONLY 0x00000010L
#define CF_TEXT 1
#define CP_WINANSI 1004
#define QID_SYNC 0xFFFFFFFF
#define TIMEOUT_ASYNC 0xFFFFFFFF

#define XCLASS_BOOL 0x1000
#define XCLASS_DATA 0x2000
#define XCLASS_FLAGS 0x4000
#define XCLASS_NOTIFICATION 0x8000
#define XTYPF_NOBLOCK 0x0002
#define XTYP_EXECUTE (0x0050 | XCLASS_FLAGS)
#define XTYP_CONNECT (0x0060 | XCLASS_BOOL | XTYPF_NOBLOCK)
#define XTYP_DISCONNECT (0x00C0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_REQUEST (0x00B0 | XCLASS_DATA)

#define DDE_FACK 0x8000
#define DDE_FBUSY 0x4000
#define DDE_FNOTPROCESSED 0x0000

#define DMLERR_NO_ERROR 0
#define DMLERR_ADVACKTIMEOUT 0x4000
#define DMLERR_BUSY 0x4001
#define DMLERR_DATAACKTIMEOUT 0x4002
#define DMLERR_DLL_NOT_INITIALIZED 0x4003
#define DMLERR_DLL_USAGE 0x4004
#define DMLERR_EXECACKTIMEOUT 0x4005
#define DMLERR_INVALIDPARAMETER 0x4006
#define DMLERR_LOW_MEMORY 0x4007
#define DMLERR_MEMORY_ERROR 0x4008
#define DMLERR_NOTPROCESSED 0x4009
#define DMLERR_NO_CONV_ESTABLISHED 0x400a
#define DMLERR_POKEACKTIMEOUT 0x400b
#define DMLERR_POSTMSG_FAILED 0x400c
#define DMLERR_REENTRANCY 0x400d
#define DMLERR_SERVER_DIED 0x400e
#define DMLERR_SYS_ERROR 0x400f
#define DMLERR_UNADVACKTIMEOUT 0x4010
#define DMLERR_UNFOUND_QUEUE_ID 0x4011

extern "C" {

UINT WINAPI DdeInitializeA(LPDWORD instance, PFNCALLBACK callback, DWORD command, DWORD reserved);
BOOL WINAPI DdeUninitialize(DWORD instance);
HSZ WINAPI DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codePage);
BOOL WINAPI DdeFreeStringHandle(DWORD instance, HSZ hsz);
HCONV WINAPI DdeConnect(DWORD instance, HSZ service, HSZ topic, PCONVCONTEXT context);
UINT WINAPI DdeQueryConvInfo(HCONV conv, DWORD transaction, PCONVINFO info);
HDDEDATA WINAPI DdeClientTransaction(LPBYTE data, DWORD length, HCONV conv, HSZ item, UINT format,
                                     UINT type, DWORD timeout, LPDWORD result);
UINT WINAPI DdeGetLastError(DWORD instance);
DWORD WINAPI DdeGetData(HDDEDATA data, LPBYTE destination, DWORD max, DWORD offset);
BOOL WINAPI DdeFreeDataHandle(HDDEDATA data);

}  // extern "C"
