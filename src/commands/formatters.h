#pragma once

#include <string>

// The text of each command. A double quote inside a path is written doubled,
// so that no file name can end its argument early.
std::string DocOpenText(const std::string& path);
std::string DocCloseText(const std::string& path);
std::string DocSaveText(const std::string& path);
std::string DocSaveAsText(const std::string& path, const std::string& target);
std::string DocInsertPagesText(const std::string& target, const std::string& source);

// Each formats its command and hands it to SendCommand.
void DocOpen(const std::string& path);
void DocClose(const std::string& path);
void DocSave(const std::string& path);
void DocSaveAs(const std::string& path, const std::string& target);
void DocInsertPages(const std::string& target, const std::string& source);
