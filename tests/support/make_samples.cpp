// Writes sample documents into a folder, for the demo.
#include "support/sample_pdf.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    WriteSamplePdf(folder + "/report.pdf", {.pages = {"Report, page 1", "Report, page 2"}, .bookmarks = true});
    WriteSamplePdf(folder + "/form.pdf", {.pages = {"Application form"}, .fieldName = "applicant"});
    WriteSamplePdf(folder + "/appendix.pdf",
                   {.pages = {"Appendix A", "Appendix B", "Appendix C"}, .link = true, .labelPrefix = "A-"});
    return 0;
}
