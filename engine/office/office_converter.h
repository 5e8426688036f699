#pragma once

#include "helpers/sandbox.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// How the office converter runs.
struct OfficeSettings {
    // LibreOffice's program folder (soffice and its Python UNO bridge).
    std::string program;
    // Our helper program, dochost-office-helper, which drives LibreOffice.
    std::string helper;
    // Time to start LibreOffice, and to convert one document.
    std::chrono::milliseconds startLimit{std::chrono::minutes(3)};
    std::chrono::milliseconds documentLimit{std::chrono::minutes(2)};
    // The helper is started afresh after this many documents, so that
    // whatever LibreOffice holds on to is given back now and then.
    unsigned recycleAfter = 100;
    // Address space of the helper and LibreOffice together.
    std::uint64_t memoryLimit = std::uint64_t{4} << 30;
    // Where the clean profile that every start copies is kept (see
    // office_profile.h); empty: every start sets a new profile up.
    std::string templates;
};

// The settings dochost uses: LibreOffice in /usr/lib/libreoffice/program (or
// in DOCHOST_OFFICE_PROGRAM), the helper beside the running program, and a
// time limit per document of DOCHOST_OFFICE_SECONDS when that is set, and
// the profile template in the user's cache folder.
OfficeSettings DefaultOfficeSettings();

// Converts office documents to PDF with LibreOffice, kept running in a
// sandboxed helper between documents. The helper starts with the first
// document; one that ends, crashes, hangs past the time limit or has served
// recycleAfter documents is stopped, and the next document starts a new one.
// No helper outlives its converter; the sandbox kills it with the engine.
class OfficeConverter {
public:
    explicit OfficeConverter(OfficeSettings settings);
    ~OfficeConverter();
    OfficeConverter(const OfficeConverter&) = delete;
    OfficeConverter& operator=(const OfficeConverter&) = delete;

    // The PDF of the document, of the given format (a file name extension,
    // from OfficeFormat). Throws with the reason when it cannot be converted.
    std::string Convert(std::string_view document, const std::string& format);

    // Ends the helper, if one runs (the next document starts another).
    void Stop();
    // Ends it at once, without letting LibreOffice close: when the engine ends.
    void Kill();

    // The running helper's process, or -1.
    pid_t HelperProcessId() const { return helper_.pid; }
    // Called once a request is on its way to the helper (for tests).
    std::function<void()> afterRequest;

private:
    void Start();
    void StartHelper();
    std::string ReadLine(std::chrono::steady_clock::time_point deadline);
    std::string ReadBytes(std::size_t count, std::chrono::steady_clock::time_point deadline);
    bool Fill(std::chrono::steady_clock::time_point deadline);
    void Write(std::string_view bytes, std::chrono::steady_clock::time_point deadline);
    [[noreturn]] void Fail(const std::string& reason);

    OfficeSettings settings_;
    HelperProcess helper_;
    std::string pending_;  // read from the helper, not yet used
    unsigned served_ = 0;
    bool timedOut_ = false;
    std::string template_; // the profile template the running helper started from
};

// The converter of this engine, made at its first use.
OfficeConverter& EngineOfficeConverter();
