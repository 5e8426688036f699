#pragma once

#include "images/image_page.h"

#include <string>

struct ExifFacts {
    int orientation = 1;
    double xDpi = 0, yDpi = 0;
};

// Reads the orientation and resolution from EXIF data (a TIFF structure, as
// it follows "Exif\0\0" in a JPEG file). Damaged data gives the defaults.
ExifFacts ReadExif(const std::string& tiff);

// Turns (and for orientations 2, 4, 5 and 7 mirrors) the page so that it
// shows the way the orientation asks.
void ApplyOrientation(int orientation, ImagePage& page);
