#include "office_format.h"

#include "zip_reader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

namespace {

constexpr std::string_view Ole2Signature("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
// Enough of a package's small entries to tell its kind.
constexpr std::size_t EntryLimit = 1 << 20;
// How far into a text document its root element or markup is looked for.
constexpr std::size_t MarkupReach = 1 << 16;

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

bool Contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return lower;
}

// Text after a byte-order mark and white space.
std::string_view Markup(std::string_view bytes)
{
    if (StartsWith(bytes, "\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    while (!bytes.empty() && std::isspace(static_cast<unsigned char>(bytes.front())))
        bytes.remove_prefix(1);
    return bytes.substr(0, MarkupReach);
}

// OOXML: the main part's content type names the application; other OPC
// packages (XPS, for one) are not office documents.
std::string OoxmlFormat(std::string_view types)
{
    struct Main {
        std::string_view family;
        const char* format;
    };
    static constexpr std::array<Main, 6> mains{{
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.", "docx"},
        {"application/vnd.ms-word.", "docx"},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.", "xlsx"},
        {"application/vnd.ms-excel.", "xlsx"},
        {"application/vnd.openxmlformats-officedocument.presentationml.", "pptx"},
        {"application/vnd.ms-powerpoint.", "pptx"},
    }};
    for (const Main& main : mains) {
        for (std::size_t at = types.find(main.family); at != std::string_view::npos;
             at = types.find(main.family, at + 1)) {
            std::string_view type = types.substr(at, types.find('"', at) - at);
            if (Contains(type, ".main+xml") || Contains(type, ".main\""))
                return main.format;
        }
    }
    return "";
}

std::string OdfFormat(std::string_view mimetype, bool flat)
{
    static constexpr std::string_view prefix = "application/vnd.oasis.opendocument.";
    if (!StartsWith(mimetype, prefix))
        return "";
    std::string_view kind = mimetype.substr(prefix.size());
    kind = kind.substr(0, kind.find_first_of("\" \r\n"));
    struct Kind {
        std::string_view name;
        const char* format;
        const char* flatFormat;
    };
    static constexpr std::array<Kind, 8> kinds{{
        {"text", "odt", "fodt"},
        {"text-template", "ott", "fodt"},
        {"spreadsheet", "ods", "fods"},
        {"spreadsheet-template", "ots", "fods"},
        {"presentation", "odp", "fodp"},
        {"presentation-template", "otp", "fodp"},
        {"graphics", "odg", "fodg"},
        {"graphics-template", "otg", "fodg"},
    }};
    for (const Kind& known : kinds)
        if (kind == known.name)
            return flat ? known.flatFormat : known.format;
    return "";
}

std::string ZipFormat(std::string_view bytes)
{
    if (std::optional<std::string> types = ReadZipEntry(bytes, "[Content_Types].xml", EntryLimit))
        return OoxmlFormat(*types);
    if (std::optional<std::string> mimetype = ReadZipEntry(bytes, "mimetype", EntryLimit))
        return OdfFormat(*mimetype, false);
    // A package cut short before its content types is known by its main part.
    for (const auto& [part, format] : {std::pair{"word/document.xml", "docx"}, std::pair{"xl/workbook.xml", "xlsx"},
                                       std::pair{"ppt/presentation.xml", "pptx"}})
        if (HasZipEntry(bytes, part))
            return format;
    return "";
}

// An OLE2 compound file is a Word, Excel or PowerPoint document when it has
// their main stream; an encrypted OOXML document is one too, whose kind only
// its password reveals. Stream names are UTF-16 in the directory.
std::string Ole2Format(std::string_view bytes)
{
    auto has = [bytes](std::string_view name) {
        std::string wide;
        for (char c : name) {
            wide += c;
            wide += '\0';
        }
        return Contains(bytes, wide);
    };
    if (has("WordDocument"))
        return "doc";
    if (has("PowerPoint Document"))
        return "ppt";
    if (has("Workbook") || has("Book"))
        return "xls";
    if (has("EncryptedPackage"))
        return "docx";
    return "";
}

std::string FlatFormat(std::string_view markup)
{
    std::size_t root = markup.find("<office:document");
    if (root != std::string_view::npos) {
        std::size_t at = markup.find("office:mimetype=\"", root);
        std::size_t close = markup.find('>', root);
        if (at != std::string_view::npos && at < close)
            return OdfFormat(markup.substr(at + 17), true);
        return "";
    }
    // Word's and Excel's XML of 2003 name their application up front.
    if (Contains(markup, "<?mso-application progid=\"Word.Document\"") ||
        Contains(markup, "<?mso-application progid=\"Excel.Sheet\""))
        return "xml";
    return "";
}

// HTML by its markup: a doctype, or an html, head or body element among the
// first elements.
bool IsHtml(std::string_view markup)
{
    if (!StartsWith(markup, "<"))
        return false;
    std::string start = Lower(markup.substr(0, 4096));
    if (StartsWith(start, "<!doctype html"))
        return true;
    for (std::string_view element : {"<html", "<head", "<body"}) {
        for (std::size_t at = start.find(element); at != std::string::npos; at = start.find(element, at + 1)) {
            char after = at + element.size() < start.size() ? start[at + element.size()] : '\0';
            if (after == '>' || after == '/' || std::isspace(static_cast<unsigned char>(after)))
                return true;
        }
    }
    return false;
}

} // namespace

std::string OfficeFormat(std::string_view bytes)
{
    if (StartsWith(bytes, "PK\x03\x04"))
        return ZipFormat(bytes);
    if (StartsWith(bytes, Ole2Signature))
        return Ole2Format(bytes);
    if (StartsWith(bytes, "{\\rtf"))
        return "rtf";
    std::string_view markup = Markup(bytes);
    if (!StartsWith(markup, "<"))
        return "";
    if (std::string flat = FlatFormat(markup); !flat.empty())
        return flat;
    if (IsHtml(markup))
        return "html";
    return "";
}

