#pragma once

#include <cstdio>

// The settings of one run: written only by ParseOptions, read by every other part.
struct RunSettingsRecord {
    const char* AppPathKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Acrobat.exe";
    const char* DdeService = "acroview";
    const char* DdeTopic = "control";
    const char* OutputFile = "out.pdf";
    int WaitSeconds = 2;
    int Verbose = 0;
    int ShowResults = 0;
    int StoreMode = 0;
    std::FILE* StoreStream = nullptr;
    int LoadMode = 0;
    std::FILE* LoadStream = nullptr;
};

extern RunSettingsRecord RunSettings;
