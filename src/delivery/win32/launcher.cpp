#include "delivery/delivery.h"
#include "front/run_settings.h"

#include <windows.h>

// The application started for this run; a zero process handle means none.
static PROCESS_INFORMATION AcrobatProcess;

static const char Caption[] = "BuildIndex - Error";
static const char NotInstalled[] = "Acrobat is not installed. Aborting...";

// How long the end of a run waits for the stopped application to be gone.
static const DWORD TerminateWaitMilliseconds = 10000;

// The registry query's buffer holds a path of MAX_PATH (260) bytes, NUL included.
static bool ReadApplicationPath(char (&path)[MAX_PATH])
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunSettings.AppPathKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    DWORD size = sizeof path;
    LONG status = RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);

    // The value is not promised to end in a NUL: one is put after the bytes
    // read, and a value that leaves no room for it does not fit. A missing
    // value, one that does not fit (ERROR_MORE_DATA) and one that is not a
    // string name no executable.
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    if (size > 0 && path[size - 1] == '\0')
        --size;
    if (size >= sizeof path)
        return false;
    path[size] = '\0';
    return path[0] != '\0';
}

// The system's text for an error, shown in a box. Its insert sequences (%1
// and the like) are kept as they stand: no argument is supplied for them.
static void ShowSystemError(DWORD error)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0)
        return;
    MessageBoxA(nullptr, text, Caption, MB_OK);
    LocalFree(text);
}

void BuildIndex()
{
    ZeroMemory(&AcrobatProcess, sizeof AcrobatProcess);

    char application[MAX_PATH];
    if (!ReadApplicationPath(application)) {
        MessageBoxA(nullptr, NotInstalled, Caption, MB_OK);
        return;
    }

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;

    // The command line is passed as it stands; the executable's path is not
    // repeated in it.
    char commandLine[] = " /n /s /o";
    if (CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                       &startup, &AcrobatProcess))
        return;
    DWORD error = GetLastError();
    ZeroMemory(&AcrobatProcess, sizeof AcrobatProcess);
    ShowSystemError(error);
}

bool AcrobatStarted()
{
    return AcrobatProcess.hProcess != nullptr;
}

void TerminateAcrobat()
{
    if (!AcrobatStarted())
        return;
    TerminateProcess(AcrobatProcess.hProcess, 0);
    // Stopping is asynchronous: the run ends once the application is gone, so
    // that nothing of it still holds the output when the user reaches for it.
    WaitForSingleObject(AcrobatProcess.hProcess, TerminateWaitMilliseconds);
}
