#include "front/options.h"

#include "front/run_settings.h"

#include <climits>
#include <cstdlib>
#include <cstring>

RunSettingsRecord RunSettings;

void PrintUsage(const char* program)
{
    std::printf("usage: %s [options] <file1> [file2] ...\n"
                "\n"
                "  Joins multiple files (tif, gif, pdf, etc. -- whatever can be opened by acrobat) \n"
                "  into a single pdf file\n"
                "\n"
                "  options: -o <file.pdf>  ; name Output file (default 'out.pdf')\n"
                "           -v             ; verbose, show DDE commands being sent to Acrobat\n"
                "           -s <file>      ; don't send DDE commands to Acrobat, just Store them to a file\n"
                "           -l <file>      ; don't generate Acrobat DDE commands, Load them from a file\n"
                "           -e             ; show DDE Error/Result values (not reliably reported, unfortunately)\n",
                program);
    std::exit(1);
}

int ReadDecimal(const char* word)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(word);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (*p - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Opens the stream named by the value of -l or -s; "-" names the standard stream.
static std::FILE* OpenScriptStream(const char* word, bool forReading)
{
    if (std::strcmp(word, "-") == 0)
        return forReading ? stdin : stdout;
    std::FILE* stream = std::fopen(word, forReading ? "r" : "w");
    if (stream == nullptr) {
        std::fprintf(stderr, forReading ? "couldn't open: %s\n" : "couldn't create: %s\n", word);
        std::exit(1);
    }
    return stream;
}

void ParseOptions(int& argc, char**& argv)
{
    const char* program = argv[0];
    if (argc == 1)
        PrintUsage(program);

    while (argc > 1 && argv[1][0] == '-') {
        const char* word = argv[1];
        int words = 1;
        bool takesValue = std::strcmp(word, "-l") == 0 || std::strcmp(word, "-s") == 0 ||
                          std::strcmp(word, "-w") == 0 || std::strcmp(word, "-o") == 0;
        if (takesValue) {
            if (argc < 3)
                PrintUsage(program);
            words = 2;
        }
        const char* value = takesValue ? argv[2] : nullptr;

        if (std::strcmp(word, "-l") == 0) {
            ++RunSettings.LoadMode;
            RunSettings.LoadStream = OpenScriptStream(value, true);
        } else if (std::strcmp(word, "-s") == 0) {
            ++RunSettings.StoreMode;
            RunSettings.StoreStream = OpenScriptStream(value, false);
        } else if (std::strcmp(word, "-w") == 0) {
            RunSettings.WaitSeconds = ReadDecimal(value);
        } else if (std::strcmp(word, "-o") == 0) {
            RunSettings.OutputFile = value;
        } else if (std::strcmp(word, "-v") == 0) {
            ++RunSettings.Verbose;
        } else if (std::strcmp(word, "-e") == 0) {
            ++RunSettings.ShowResults;
        } else {
            std::printf("Unknown switch %s\n", word);
            PrintUsage(program);
        }
        argv += words;
        argc -= words;
    }
}
