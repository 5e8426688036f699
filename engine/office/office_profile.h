#pragma once

#include "helpers/sandbox.h"

#include <chrono>
#include <string>

// The clean LibreOffice profile that every office helper copies into its own
// private profile, so that LibreOffice need not set a new profile up (and
// start a second time) at every start. It is made once per user and
// LibreOffice version, by a start of LibreOffice in the sandbox without any
// document, and kept in the user's cache folder. No document is ever opened
// with it: the helpers that convert documents see it read-only and only copy
// it; the start that makes it sees no document and writes only a new folder,
// which takes the template's name once it is complete.
struct ProfileTemplateSettings {
    std::string folder;  // where templates are kept (e.g. ~/.cache/dochost); empty: none is kept
    std::string program; // LibreOffice's program folder
    std::string python;  // the Python that runs the helper
    std::string helper;  // the helper, which makes the template when asked
    std::chrono::milliseconds limit{std::chrono::minutes(3)};
};

// The folder for templates in the user's cache: $XDG_CACHE_HOME/dochost, or
// ~/.cache/dochost; empty when neither is known.
std::string UserTemplateFolder();

// The template for the installed LibreOffice, made now if there is none yet
// (removing those of other versions). Empty when none can be had: the helper
// then starts on a new profile. `access` is what the helper's sandbox may see
// besides.
std::string ReadyProfileTemplate(const ProfileTemplateSettings& settings, const SandboxAccess& access);

// Removes a template that LibreOffice could not start with; the next start
// makes a new one.
void ForgetProfileTemplate(const std::string& profileTemplate);
