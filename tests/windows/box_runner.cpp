// Runs a program under Wine for the Windows tests and answers its message
// boxes: every box the program shows is reported (caption and text) and
// dismissed with OK, so that a run that shows one still comes to its end.
//
//   box_runner.exe REPORT PROGRAM [ARGUMENT...]
//       runs PROGRAM with its standard handles; REPORT gets one line
//       "box <caption> <text>" a box and "exit <status>", texts in hex.
//       The runner's own status is the program's.
//   box_runner.exe --system-text CODE
//       prints the system's text for an error code.
//   box_runner.exe --current-directory
//       prints the current directory.
//   box_runner.exe --alive PID
//       prints 1 while the process PID runs, else 0.

#include "hex.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string WindowText(HWND window)
{
    std::vector<char> text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1);
    int length = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
    return std::string(text.data(), static_cast<std::size_t>(length > 0 ? length : 0));
}

std::string ClassName(HWND window)
{
    char name[64];
    int length = GetClassNameA(window, name, sizeof name);
    return std::string(name, static_cast<std::size_t>(length > 0 ? length : 0));
}

// A message box's text is its one static control that holds text (the icon
// is a static control without any).
BOOL CALLBACK FindText(HWND child, LPARAM found)
{
    std::string text = WindowText(child);
    if (ClassName(child) == "Static" && !text.empty()) {
        *reinterpret_cast<std::string*>(found) = text;
        return FALSE;
    }
    return TRUE;
}

struct Search {
    DWORD process;
    HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM searching)
{
    Search* search = reinterpret_cast<Search*>(searching);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->process && ClassName(window) == "#32770" && IsWindowVisible(window)) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

// Reports and dismisses every box the process shows now.
void AnswerBoxes(DWORD process, std::string& report)
{
    for (;;) {
        Search search{process, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.box == nullptr)
            return;
        std::string text;
        EnumChildWindows(search.box, FindText, reinterpret_cast<LPARAM>(&text));
        report += "box " + Hex(WindowText(search.box)) + " " + Hex(text) + "\n";
        PostMessageA(search.box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 500 && IsWindow(search.box); ++i)
            Sleep(10);
    }
}

// One argument as the program's argument parser reads it back.
std::string Quoted(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

HANDLE Inheritable(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

int Run(const char* reportPath, int count, char** arguments)
{
    std::string commandLine;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            commandLine += ' ';
        commandLine += Quoted(arguments[i]);
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = Inheritable(STD_INPUT_HANDLE);
    startup.hStdOutput = Inheritable(STD_OUTPUT_HANDLE);
    startup.hStdError = Inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child;
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "box_runner: cannot start %s (error %lu)\n", arguments[0], GetLastError());
        return 2;
    }
    std::string report;
    while (WaitForSingleObject(child.hProcess, 20) == WAIT_TIMEOUT)
        AnswerBoxes(child.dwProcessId, report);
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    report += "exit " + std::to_string(status) + "\n";

    std::FILE* out = std::fopen(reportPath, "wb");
    if (out == nullptr || std::fwrite(report.data(), 1, report.size(), out) != report.size() || std::fclose(out) != 0)
        return 2;
    return static_cast<int>(status);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--system-text") {
        char* text = nullptr;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)),
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
                                      nullptr);
        if (length == 0)
            return 2;
        std::printf("%s", Hex(std::string(text, length)).c_str());
        LocalFree(text);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--current-directory") {
        char directory[MAX_PATH];
        DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
        if (length == 0 || length >= sizeof directory)
            return 2;
        std::printf("%s", Hex(std::string(directory, length)).c_str());
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--alive") {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
        bool alive = process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        std::printf("%d", alive ? 1 : 0);
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: box_runner REPORT PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    return Run(argv[1], argc - 2, argv + 2);
}
