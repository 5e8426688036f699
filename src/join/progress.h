#pragma once

#include <string>

// One self-updating line on standard error that shows how far a long join is
// ("12 of 40: scan12.tif"), for a person watching a terminal. It shows only
// when standard error is a terminal, commands are not being echoed, and the
// join has more than a few inputs; otherwise it prints nothing at all.
void ProgressBegin(std::size_t inputs, bool echoing);
void ProgressStep(std::size_t number, const std::string& name);
void ProgressEnd();
