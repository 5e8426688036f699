// Takes the application's place in the Windows tests: a DDE server for
// service "acroview", topic "control", started by docjoin.exe through the
// registry. It records its command line and the exact bytes and length of
// every execute, and answers as the test asks. A DocSaveAs writes its new
// file, so that the test can see docjoin remove the intermediates.
//
// Set by the test in the environment docjoin.exe passes on:
//   DOCJOIN_TEST_RECORD  the file the record is appended to
//   DOCJOIN_TEST_ANSWER  acknowledge (the default), refuse, late (after the
//                        client's 1000 ms), or silent (never registers)

#include "hex.h"

#include <windows.h>
#include <ddeml.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum class Answer { Acknowledge, Refuse, Late, Silent };

Answer TheAnswer = Answer::Acknowledge;
HANDLE Record = INVALID_HANDLE_VALUE;
DWORD Instance = 0;
HSZ Service = nullptr;
HSZ Topic = nullptr;

// Every write goes to the file at once: the server is stopped without warning.
void Append(const std::string& text)
{
    DWORD written = 0;
    WriteFile(Record, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The second quoted argument of [DocSaveAs("open","new")], quotes undoubled.
bool SaveAsTarget(const std::string& command, std::string& target)
{
    const std::string head = "[DocSaveAs(\"";
    if (command.compare(0, head.size(), head) != 0)
        return false;
    int argument = 0;
    for (std::size_t i = head.size(); i < command.size(); ++i) {
        if (command[i] != '"') {
            if (argument == 1)
                target += command[i];
            continue;
        }
        if (i + 1 < command.size() && command[i + 1] == '"') {
            if (argument == 1)
                target += '"';
            ++i;
        } else if (argument == 0) {
            argument = 1;
            i += 2; // the closing quote, the comma and the opening quote
        } else {
            return true;
        }
    }
    return false;
}

void WriteSavedFile(const std::string& command)
{
    std::string target;
    if (!SaveAsTarget(command, target))
        return;
    HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, "%PDF-1.4\n", 9, &written, nullptr);
        CloseHandle(file);
    }
}

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ first, HSZ second, HDDEDATA data, ULONG_PTR, ULONG_PTR)
{
    if (type == XTYP_CONNECT) {
        bool ours = DdeCmpStringHandles(first, Topic) == 0 && DdeCmpStringHandles(second, Service) == 0;
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(ours ? TRUE : FALSE));
    }
    if (type != XTYP_EXECUTE)
        return nullptr;
    DWORD length = DdeGetData(data, nullptr, 0, 0);
    std::string bytes(length, '\0');
    if (length > 0)
        DdeGetData(data, reinterpret_cast<BYTE*>(bytes.data()), length, 0);
    Append("execute " + std::to_string(length) + " " + Hex(bytes) + "\n");
    WriteSavedFile(bytes);
    switch (TheAnswer) {
    case Answer::Refuse:
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DDE_FNOTPROCESSED));
    case Answer::Late:
        Sleep(1500);
        break;
    default:
        break;
    }
    return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DDE_FACK));
}

Answer AnswerAsked()
{
    const char* asked = std::getenv("DOCJOIN_TEST_ANSWER");
    if (asked == nullptr || std::strcmp(asked, "acknowledge") == 0)
        return Answer::Acknowledge;
    if (std::strcmp(asked, "refuse") == 0)
        return Answer::Refuse;
    if (std::strcmp(asked, "late") == 0)
        return Answer::Late;
    return Answer::Silent;
}

} // namespace

int main()
{
    const char* record = std::getenv("DOCJOIN_TEST_RECORD");
    if (record == nullptr)
        return 2;
    Record = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Record == INVALID_HANDLE_VALUE)
        return 2;
    TheAnswer = AnswerAsked();
    Append(std::string("command-line ") + Hex(GetCommandLineA()) + "\n");
    Append("pid " + std::to_string(GetCurrentProcessId()) + "\n");

    if (TheAnswer != Answer::Silent) {
        if (DdeInitializeA(&Instance, Callback, APPCLASS_STANDARD | CBF_SKIP_ALLNOTIFICATIONS, 0) != DMLERR_NO_ERROR)
            return 2;
        Service = DdeCreateStringHandleA(Instance, "acroview", 0);
        Topic = DdeCreateStringHandleA(Instance, "control", 0);
        if (DdeNameService(Instance, Service, nullptr, DNS_REGISTER) == nullptr)
            return 2;
        Append("registered\n");
    }
    // The server runs until the client stops it.
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
