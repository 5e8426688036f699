#pragma once

#include <string>
#include <string_view>

// Office documents are recognised by their content, never by their name:
// OOXML and ODF zip packages by their content types or mimetype entry, OLE2
// compound files by their streams, RTF by "{\rtf", flat ODF by its root
// element, HTML by its markup.

// The kind of office document bytes hold, as the file name extension
// LibreOffice knows it by ("docx", "xls", "odp", "fodt", "rtf", "html"...), or
// empty when they hold none.
std::string OfficeFormat(std::string_view bytes);
