#pragma once

#include "support/pixels.h"

#include <string>
#include <vector>

// One file of the generated image corpus and what its pages must show.
struct CorpusPage {
    Rgb8 shown;                // as a reader must show it, turned as the page is
    std::string cmykReference; // CMYK pages: a PDF of the same samples to render for comparison
    double xDpi = 96, yDpi = 96;
    int rotate = 0;
    std::string filter;      // the image's filter in the output ("" for any)
    std::string passedBytes; // data that must reach the output unchanged, if any
};

struct CorpusFile {
    std::string name;
    std::vector<CorpusPage> pages;
};

// A page that shows pixels at a resolution.
CorpusPage Page(const Pixels& shown, double xDpi = 96, double yDpi = 96);

// Writes the corpus into folder: every kind of image the engine reads.
std::vector<CorpusFile> WriteImageCorpus(const std::string& folder);

// The harder cases, as real-world writers make them (in image_corpus_edges.cpp).
void AddEdgeCases(const std::string& folder, std::vector<CorpusFile>& corpus);

// Turned clockwise by degrees (0, 90, 180, 270), mirrored left to right first.
Rgb8 Turned(const Rgb8& image, int degrees, bool mirror);
