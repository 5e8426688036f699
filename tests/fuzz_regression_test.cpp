// Inputs that once broke a fuzz target, replayed through the same entry on
// every test run (and so under the sanitizers too).
#include "fuzz_entries.h"
#include "support/process.h"
#include "support/stderr_capture.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace {

using Entry = std::function<void(const std::uint8_t*, std::size_t)>;

int ReplayAll(const std::string& target, const Entry& entry)
{
    std::filesystem::path folder = std::filesystem::path(DOCJOIN_SOURCE_DIR) / "tests/fuzz/regressions" / target;
    int replayed = 0;
    if (!std::filesystem::exists(folder))
        return replayed;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
        SCOPED_TRACE(file.path().string());
        std::string bytes = ReadFile(file.path());
        CaptureStderr();
        entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        CapturedStderr();
        ++replayed;
    }
    return replayed;
}

TEST(FuzzRegressions, EveryKeptInputRunsCleanly)
{
    int replayed = ReplayAll("script_replay", FuzzScriptReplay) + ReplayAll("command_parser", FuzzCommandParser) +
                   ReplayAll("pdf_insert", FuzzPdfInsert) + ReplayAll("office_detect", FuzzOfficeDetect);
    for (std::string kind : {"tiff", "gif", "png", "jpeg", "jpx", "bmp", "pnm", "webp", "heif", "jxl"})
        replayed += ReplayAll("image_" + kind, [kind](const std::uint8_t* data, std::size_t size) {
            FuzzImage(kind.c_str(), data, size);
        });
    for (std::string kind : {"svg", "svgz", "xps", "text", "postscript"})
        replayed += ReplayAll("drawing_" + kind, [kind](const std::uint8_t* data, std::size_t size) {
            FuzzDrawing(kind.c_str(), data, size);
        });
    EXPECT_GT(replayed, 0) << "the kept inputs were not found";
}

} // namespace
