#include "delivery/delivery.h"
#include "front/run_settings.h"

#include <cstdio>
// windows.h first: ddeml.h relies on its types.
#include <windows.h>
#include <ddeml.h>

// The one conversation of a live run, all zero until DdeOpen fills it.
struct DdeStateRecord {
    DWORD Instance = 0;
    HSZ ServiceHandle = nullptr;
    HSZ TopicHandle = nullptr;
    HCONV Conversation = nullptr;
};

static DdeStateRecord DdeState;

// A client-only instance is sent nothing it has to answer.
static HDDEDATA CALLBACK DdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR)
{
    return nullptr;
}

int DdeOpen()
{
    if (DdeInitializeA(&DdeState.Instance, DdeCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR)
        return -1;
    DdeState.ServiceHandle = DdeCreateStringHandleA(DdeState.Instance, RunSettings.DdeService, 0);
    DdeState.TopicHandle = DdeCreateStringHandleA(DdeState.Instance, RunSettings.DdeTopic, 0);
    DdeState.Conversation = DdeConnect(DdeState.Instance, DdeState.ServiceHandle, DdeState.TopicHandle, nullptr);
    // The instance's last error covers a string handle that was not created as
    // well as a connection that failed.
    if (DdeGetLastError(DdeState.Instance) != DMLERR_NO_ERROR) {
        std::printf("Could not connect to server. -- DdeOpen - Error\n");
        return -1;
    }
    return 0;
}

int DdeExecute(const char* data, std::size_t length, std::uint32_t* result)
{
    // The result word is left as it was when the transaction does not write it
    // (a time-out).
    DWORD word = *result;
    HDDEDATA returned = DdeClientTransaction(reinterpret_cast<BYTE*>(const_cast<char*>(data)),
                                             static_cast<DWORD>(length), DdeState.Conversation, nullptr, CF_TEXT,
                                             XTYP_EXECUTE, 1000, &word);
    *result = word;
    return static_cast<int>(reinterpret_cast<ULONG_PTR>(returned));
}

void DdeWaitForAnswers()
{
    // Transactions are synchronous: each has been answered or given up before
    // the next is sent, so nothing is outstanding. A file the application
    // still holds open after a given-up close is normally shared without
    // delete access on this system: removing it fails and it stays on disk.
}

void DdeClose()
{
    DdeDisconnect(DdeState.Conversation);
    DdeFreeStringHandle(DdeState.Instance, DdeState.ServiceHandle);
    DdeFreeStringHandle(DdeState.Instance, DdeState.TopicHandle);
    DdeUninitialize(DdeState.Instance);
}
