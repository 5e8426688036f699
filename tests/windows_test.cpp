// The Windows docjoin.exe, run under Wine against a test DDE server that
// takes the application's place (tests/windows/). Every case shares one Wine
// prefix in the build folder, so CTest runs them one at a time.

#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

const std::string WindowsBin = DOCJOIN_WINDOWS_BIN;
const std::string Prefix = DOCJOIN_WINE_PREFIX;
const char AppPathKey[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Acrobat.exe";
const char Caption[] = "BuildIndex - Error";
const char NotInstalled[] = "Acrobat is not installed. Aborting...";
// A status of -1, as the system's exit code; Wine passes it on as 255.
const char MinusOne[] = "4294967295";

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

RunResult Wine(std::vector<std::string> arguments, RunOptions options = {})
{
    arguments.insert(arguments.begin(), WINE64_PROGRAM);
    options.extraEnv.push_back("WINEPREFIX=" + Prefix);
    options.extraEnv.push_back("WINEDEBUG=-all");
    options.timeoutSeconds = 60;
    return RunProgram(arguments, options);
}

std::string WindowsProgram(const std::string& name)
{
    return WindowsBin + "/" + name + ".exe";
}

// A helper's answer (hex on standard output), decoded.
std::string HelperAnswer(const std::vector<std::string>& arguments, const std::string& cwd = "")
{
    std::vector<std::string> argv{WindowsProgram("box_runner")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunResult r = Wine(argv, {.cwd = cwd});
    EXPECT_EQ(r.status, 0) << r.err;
    return FromHex(r.out);
}

// What the Windows side calls a folder of this system.
std::string WindowsFolder(const std::string& folder)
{
    return HelperAnswer({"--current-directory"}, folder);
}

bool WindowsProcessAlive(const std::string& pid)
{
    RunResult r = Wine({WindowsProgram("box_runner"), "--alive", pid});
    return r.out == "1";
}

void SetApplicationPath(const std::vector<std::string>& value)
{
    std::vector<std::string> argv{"reg", "add", AppPathKey};
    argv.insert(argv.end(), value.begin(), value.end());
    argv.push_back("/f");
    ASSERT_EQ(Wine(argv).status, 0);
}

void DeleteApplicationKey()
{
    Wine({"reg", "delete", AppPathKey, "/f"});
}

// The test server stands where the registry says the application is.
void RegisterTestServer()
{
    SetApplicationPath({"/ve", "/d", WindowsFolder(WindowsBin) + "\\dde_test_server.exe"});
}

struct Box {
    std::string caption, text;
};

// A run of docjoin.exe under the box runner, with what the server and the
// runner recorded.
struct WindowsRun {
    RunResult result;
    std::vector<Box> boxes;
    std::string exitCode; // as the runner saw it, before Wine cuts it to 8 bits
    std::string serverCommandLine;
    std::string serverPid;
    bool registered = false;
    std::vector<std::string> executes;
};

WindowsRun RunDocjoin(const ScratchDir& dir, const std::vector<std::string>& arguments, const std::string& answer = "acknowledge")
{
    std::string record = dir / "server-record.txt";
    std::string report = dir / "box-report.txt";
    std::filesystem::remove(record);
    std::filesystem::remove(report);
    std::vector<std::string> argv{WindowsProgram("box_runner"), "box-report.txt", WindowsProgram("docjoin")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    WindowsRun run;
    run.result = Wine(argv, {.cwd = dir.path,
                             .extraEnv = {"DOCJOIN_TEST_RECORD=" + WindowsFolder(dir.path) + "\\server-record.txt",
                                          "DOCJOIN_TEST_ANSWER=" + answer}});

    std::istringstream boxes(Exists(report) ? ReadFile(report) : "");
    for (std::string word; boxes >> word;) {
        if (word == "box") {
            std::string caption, text;
            boxes >> caption >> text;
            run.boxes.push_back({FromHex(caption), FromHex(text)});
        } else if (word == "exit") {
            boxes >> run.exitCode;
        }
    }
    std::istringstream lines(Exists(record) ? ReadFile(record) : "");
    for (std::string word; lines >> word;) {
        std::string hex;
        if (word == "command-line") {
            lines >> hex;
            run.serverCommandLine = FromHex(hex);
        } else if (word == "pid") {
            lines >> run.serverPid;
        } else if (word == "registered") {
            run.registered = true;
        } else if (word == "execute") {
            std::size_t length = 0;
            lines >> length;
            // An empty execute has no hex word: the next word is the next line's.
            if (length > 0)
                lines >> hex;
            run.executes.push_back(FromHex(hex));
            EXPECT_EQ(run.executes.back().size(), length) << "the length the server saw";
        }
    }
    return run;
}

void Detached(const std::vector<std::string>& argv)
{
    std::vector<std::string> shell{"/bin/sh", "-c", "exec \"$0\" \"$@\" </dev/null >/dev/null 2>&1"};
    shell.insert(shell.end(), argv.begin(), argv.end());
    RunProgram(shell, {.extraEnv = {"WINEPREFIX=" + Prefix, "WINEDEBUG=-all"}});
}

class WinePrefix : public ::testing::Environment {
public:
    // The prefix is made once and kept in the build folder: a fresh one takes
    // seconds. DDE without a display needs Wine's null graphics driver.
    void SetUp() override
    {
        if (WindowsBin.empty() || !Exists(WindowsProgram("docjoin")))
            FAIL() << "the Windows build is missing: make windows builds it";
        if (!Exists(Prefix + "/system.reg")) {
            std::string making = Prefix + ".new";
            std::filesystem::remove_all(making);
            RunOptions options{.extraEnv = {"WINEPREFIX=" + making, "WINEDEBUG=-all"}, .timeoutSeconds = 300};
            ASSERT_EQ(RunProgram({WINE64_PROGRAM, "wineboot", "-i"}, options).status, 0);
            ASSERT_EQ(RunProgram({WINE64_PROGRAM, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics",
                                  "/d", "null", "/f"},
                                 options)
                          .status,
                      0);
            ASSERT_EQ(RunProgram({WINESERVER_PROGRAM, "-w"}, options).status, 0);
            std::filesystem::remove_all(Prefix);
            std::filesystem::rename(making, Prefix);
        }
        // One server for the whole binary keeps every later start fast. It and
        // the system processes the first program starts live on: they are
        // given none of our streams, which they would hold open.
        Detached({WINESERVER_PROGRAM, "-p"});
        Detached({WINE64_PROGRAM, WindowsProgram("box_runner"), "--current-directory"});
    }

    void TearDown() override { RunProgram({WINESERVER_PROGRAM, "-k"}, {.extraEnv = {"WINEPREFIX=" + Prefix}}); }
};

const auto* const Registered = ::testing::AddGlobalTestEnvironment(new WinePrefix);

std::string ShownResults(const std::vector<std::string>& commands, const std::string& answer)
{
    std::string out;
    for (const std::string& command : commands)
        out += command + answer + "\r\n";
    return out;
}

std::vector<std::string> JoinPlan(const std::string& folder)
{
    auto open = [](const std::string& p) { return "[DocOpen(\"" + p + "\")]"; };
    auto close = [](const std::string& p) { return "[DocClose(\"" + p + "\")]"; };
    auto saveAs = [](const std::string& p, const std::string& q) { return "[DocSaveAs(\"" + p + "\",\"" + q + "\")]"; };
    std::string a = folder + "\\a.tif", b = folder + "\\b.gif", c = folder + "\\c.pdf", out = folder + "\\out.pdf";
    std::vector<std::string> plan{open(a), saveAs(a, out), close(a), open(out)};
    for (const std::string& input : {b, c}) {
        std::string intermediate = input + ".pdf";
        for (const std::string& command :
             {open(input), saveAs(input, intermediate), close(input),
              "[DocInsertPages(\"" + out + "\",PDLastPage,\"" + intermediate + "\")]", close(intermediate)})
            plan.push_back(command);
    }
    plan.push_back("[DocSave(\"" + out + "\")]");
    plan.push_back(close(out));
    return plan;
}

void WriteInputs(const ScratchDir& dir)
{
    for (const char* name : {"a.tif", "b.gif", "c.pdf"})
        WriteFile(dir / name, "input");
}

TEST(WindowsLiveRun, AJoinOfThreeSendsTheSixteenCommandsAndEndsTheApplication)
{
    ScratchDir dir;
    WriteInputs(dir);
    RegisterTestServer();
    WindowsRun run = RunDocjoin(dir, {"-e", "-o", "out.pdf", "a.tif", "b.gif", "c.pdf"});

    std::vector<std::string> plan = JoinPlan(WindowsFolder(dir.path));
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_EQ(run.executes, plan) << "exact bytes and lengths, with Windows full paths";
    EXPECT_EQ(run.result.out, ShownResults(plan, " = 32768 e=1"));
    EXPECT_EQ(run.result.err, "");
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(run.serverCommandLine, " /n /s /o");
    EXPECT_TRUE(Exists(dir / "out.pdf")) << "written by the server's DocSaveAs";
    EXPECT_FALSE(Exists(dir / "b.gif.pdf"));
    EXPECT_FALSE(Exists(dir / "c.pdf.pdf"));
    ASSERT_FALSE(run.serverPid.empty());
    EXPECT_FALSE(WindowsProcessAlive(run.serverPid)) << "the application is terminated";
}

TEST(WindowsLiveRun, AReplayedScriptSendsEachLineWithItsLineEnd)
{
    ScratchDir dir;
    RegisterTestServer();
    // Read as text: a CRLF line end arrives as one line feed.
    WriteFile(dir / "script.txt", "[DocOpen(\"a\")]\r\n# a comment\r\n\r\n[DocSave(\"a\")]\n[DocClose(\"a\")]");
    WindowsRun run = RunDocjoin(dir, {"-l", "script.txt"});
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_EQ(run.executes,
              (std::vector<std::string>{"[DocOpen(\"a\")]\n", "\n", "[DocSave(\"a\")]\n", "[DocClose(\"a\")]"}));
    EXPECT_EQ(run.result.out, "");
    EXPECT_FALSE(WindowsProcessAlive(run.serverPid));
}

TEST(WindowsLiveRun, RefusedAndLateAnswersShowAsZeroResults)
{
    ScratchDir dir;
    RegisterTestServer();
    WriteFile(dir / "two.txt", "[DocOpen(\"a\")]\n[DocClose(\"a\")]\n");
    WindowsRun refused = RunDocjoin(dir, {"-e", "-l", "two.txt"}, "refuse");
    EXPECT_EQ(refused.result.status, 1);
    EXPECT_EQ(refused.result.out, "[DocOpen(\"a\")]\r\n = 0 e=0\r\n[DocClose(\"a\")]\r\n = 0 e=0\r\n");

    // A late answer is given up after 1000 ms, and the run goes on to its end.
    WriteFile(dir / "one.txt", "[DocSave(\"a\")]");
    WindowsRun late = RunDocjoin(dir, {"-e", "-l", "one.txt"}, "late");
    EXPECT_EQ(late.result.status, 1);
    EXPECT_EQ(late.executes, std::vector<std::string>{"[DocSave(\"a\")]"});
    EXPECT_EQ(late.result.out, "[DocSave(\"a\")] = 0 e=0\r\n");
    EXPECT_FALSE(WindowsProcessAlive(late.serverPid));
}

TEST(WindowsLauncher, NoUsablePathInTheRegistryShowsTheNotInstalledBox)
{
    ScratchDir dir;
    WriteInputs(dir);
    struct Case {
        const char* what;
        std::vector<std::string> value; // empty: the key is removed
    };
    const std::vector<Case> cases{
        {"key missing", {}},
        {"key without a default value", {"/v", "Other", "/d", "x"}},
        {"default value not a string", {"/ve", "/t", "REG_DWORD", "/d", "1"}},
        {"default value too long for 260 bytes", {"/ve", "/d", "Z:\\" + std::string(300, 'x') + ".exe"}},
        {"default value empty", {"/ve", "/d", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteApplicationKey();
        if (!c.value.empty())
            SetApplicationPath(c.value);
        WindowsRun run = RunDocjoin(dir, {"a.tif"});
        EXPECT_EQ(run.result.status, 255);
        EXPECT_EQ(run.exitCode, MinusOne);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].caption, Caption);
        EXPECT_EQ(run.boxes[0].text, NotInstalled);
        EXPECT_EQ(run.result.out, "") << "nothing on the console";
        EXPECT_EQ(run.result.err, "");
        EXPECT_TRUE(run.serverCommandLine.empty()) << "nothing was started";
    }
}

TEST(WindowsLauncher, APathOf259CharactersIsTriedAndOneOf260IsNot)
{
    ScratchDir dir;
    WriteInputs(dir);
    // Steps of a folder that does not exist, each short enough to be a name.
    auto pathOf = [](std::size_t length) {
        std::string path = "Z:\\absent";
        while (path.size() + 101 < length)
            path += "\\" + std::string(100, 'd');
        return path + "\\" + std::string(length - path.size() - 1, 'x');
    };
    ASSERT_EQ(pathOf(259).size(), 259u);
    SetApplicationPath({"/ve", "/d", pathOf(259)});
    WindowsRun fits = RunDocjoin(dir, {"a.tif"});
    ASSERT_EQ(fits.boxes.size(), 1u);
    EXPECT_NE(fits.boxes[0].text, NotInstalled) << "the path was tried: the system's text for it";
    EXPECT_NE(fits.boxes[0].text, "");

    SetApplicationPath({"/ve", "/d", pathOf(260)});
    WindowsRun tooLong = RunDocjoin(dir, {"a.tif"});
    ASSERT_EQ(tooLong.boxes.size(), 1u);
    EXPECT_EQ(tooLong.boxes[0].text, NotInstalled) << "no room for the terminating NUL";
    EXPECT_EQ(tooLong.result.status, 255);
    EXPECT_EQ(tooLong.exitCode, MinusOne);
}

TEST(WindowsLauncher, AMissingExecutableShowsTheSystemsTextForIt)
{
    ScratchDir dir;
    WriteInputs(dir);
    SetApplicationPath({"/ve", "/d", WindowsFolder(dir.path) + "\\gone.exe"});
    WindowsRun run = RunDocjoin(dir, {"a.tif"});
    EXPECT_EQ(run.result.status, 255);
    EXPECT_EQ(run.exitCode, MinusOne);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].caption, Caption);
    const std::string fileNotFound = "2"; // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(run.boxes[0].text, HelperAnswer({"--system-text", fileNotFound}));
    EXPECT_NE(run.boxes[0].text, "");
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "");
}

TEST(WindowsConversation, AServerThatNeverRegistersFailsTheOpenAndIsTerminated)
{
    ScratchDir dir;
    WriteInputs(dir);
    RegisterTestServer();
    WindowsRun run = RunDocjoin(dir, {"-w", "1", "a.tif", "b.gif"}, "silent");
    EXPECT_EQ(run.result.status, 255);
    EXPECT_EQ(run.exitCode, MinusOne);
    EXPECT_EQ(run.result.out,
              "Could not connect to server. -- DdeOpen - Error\r\nFailed to initialize DDE. - DdeOpen - Error\r\n");
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_FALSE(run.registered);
    EXPECT_TRUE(run.executes.empty());
    ASSERT_FALSE(run.serverPid.empty()) << "the server was started";
    EXPECT_FALSE(WindowsProcessAlive(run.serverPid)) << "no hidden process is left";
}

TEST(WindowsFullPath, RelativeNamesDotStepsAndForwardSlashesBecomeAbsolutePaths)
{
    ScratchDir dir;
    std::filesystem::create_directories(dir / "sub/deeper");
    std::string here = WindowsFolder(dir / "sub");
    std::string parent = WindowsFolder(dir.path);
    RunResult r = Wine({WindowsProgram("docjoin"), "-s", "-", "-o", "../out.pdf", "a.tif", "./b.gif",
                        "deeper/../c.pdf", "deeper/./d.tif", "..\\e.gif", parent + "/sub/deeper/f.pdf"},
                       {.cwd = dir / "sub"});
    ASSERT_EQ(r.status, 1) << r.err;
    std::vector<std::string> opened;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("[DocOpen(\"", 0) == 0)
            opened.push_back(line.substr(10, line.size() - 10 - 4));
    }
    EXPECT_EQ(opened, (std::vector<std::string>{here + "\\a.tif", parent + "\\out.pdf", here + "\\b.gif",
                                                here + "\\c.pdf", here + "\\deeper\\d.tif", parent + "\\e.gif",
                                                here + "\\deeper\\f.pdf"}));
}

TEST(WindowsStore, APlanFileHasTheSameCommandsWithCrlfLineEnds)
{
    ScratchDir dir;
    WriteInputs(dir);
    RunResult r = Wine({WindowsProgram("docjoin"), "-s", "plan.txt", "-o", "out.pdf", "a.tif", "b.gif", "c.pdf"},
                       {.cwd = dir.path});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    std::string expected;
    for (const std::string& command : JoinPlan(WindowsFolder(dir.path)))
        expected += command + "\r\n";
    EXPECT_EQ(ReadFile(dir / "plan.txt"), expected);
    EXPECT_FALSE(Exists(dir / "out.pdf")) << "store mode starts nothing";
}

} // namespace
