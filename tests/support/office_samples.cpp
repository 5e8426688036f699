#include "support/office_samples.h"

#include "support/process.h"

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <zlib.h>

namespace {

const char* const OfficeNamespaces =
    " xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
    " xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\""
    " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\""
    " xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\""
    " xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\""
    " xmlns:presentation=\"urn:oasis:names:tc:opendocument:xmlns:presentation:1.0\""
    " xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\""
    " xmlns:fo=\"urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0\""
    " xmlns:script=\"urn:oasis:names:tc:opendocument:xmlns:script:1.0\""
    " xmlns:form=\"urn:oasis:names:tc:opendocument:xmlns:form:1.0\""
    " xmlns:ooo=\"http://openoffice.org/2004/office\""
    " xmlns:xlink=\"http://www.w3.org/1999/xlink\""
    " xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\"";

std::string FlatDocument(const std::string& kind, const std::string& body, const std::string& styles = "")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document" + std::string(OfficeNamespaces) +
           " office:version=\"1.2\" office:mimetype=\"application/vnd.oasis.opendocument." + kind + "\">\n" +
           styles + "<office:body>" + body + "</office:body></office:document>\n";
}

void Put16(std::string& out, unsigned value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8 & 0xFF);
}

void Put32(std::string& out, std::uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

} // namespace

std::string Base64(const std::string& bytes)
{
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        out += digits[group >> 18 & 63];
        out += digits[group >> 12 & 63];
        out += i + 1 < bytes.size() ? digits[group >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}

void WriteStoredZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string out, directory;
    for (const auto& [name, data] : entries) {
        auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        auto offset = static_cast<std::uint32_t>(out.size());
        auto size = static_cast<std::uint32_t>(data.size());
        auto nameLength = static_cast<unsigned>(name.size());
        out += "PK\x03\x04";
        Put16(out, 20);
        Put16(out, 0);
        Put16(out, 0); // stored
        Put32(out, 0);
        Put32(out, crc);
        Put32(out, size);
        Put32(out, size);
        Put16(out, nameLength);
        Put16(out, 0);
        out += name + data;
        directory += "PK\x01\x02";
        Put16(directory, 20);
        Put16(directory, 20);
        Put16(directory, 0);
        Put16(directory, 0);
        Put32(directory, 0);
        Put32(directory, crc);
        Put32(directory, size);
        Put32(directory, size);
        Put16(directory, nameLength);
        Put32(directory, 0); // extra and comment lengths
        Put32(directory, 0); // disk number and internal attributes
        Put32(directory, 0); // external attributes
        Put32(directory, offset);
        directory += name;
    }
    auto directoryOffset = static_cast<std::uint32_t>(out.size());
    out += directory;
    out += "PK\x05\x06";
    Put32(out, 0);
    Put16(out, static_cast<unsigned>(entries.size()));
    Put16(out, static_cast<unsigned>(entries.size()));
    Put32(out, static_cast<std::uint32_t>(directory.size()));
    Put32(out, directoryOffset);
    Put16(out, 0);
    WriteFile(path, out);
}

void WriteLetterFodt(const std::string& path, const std::string& body, const std::string& png)
{
    std::string picture;
    if (!png.empty())
        picture = "<text:p><draw:frame draw:name=\"Picture\" text:anchor-type=\"as-char\" svg:width=\"4cm\" "
                  "svg:height=\"3cm\"><draw:image><office:binary-data>" +
                  Base64(ReadFile(png)) + "</office:binary-data></draw:image></draw:frame></text:p>";
    WriteFile(path, FlatDocument("text", "<office:text><text:h text:outline-level=\"1\">Chapter One</text:h>"
                                         "<text:p>" + body + " <text:a xlink:type=\"simple\" "
                                         "xlink:href=\"https://example.org/\">Example link</text:a></text:p>" +
                                             picture + "</office:text>"));
}

void WriteTableFods(const std::string& path, const std::vector<std::string>& sheets)
{
    std::string tables;
    for (const std::string& sheet : sheets)
        tables += "<table:table table:name=\"" + sheet + "\"><table:table-row><table:table-cell office:value-type="
                  "\"string\"><text:p>" + sheet + " cell</text:p></table:table-cell></table:table-row></table:table>";
    WriteFile(path, FlatDocument("spreadsheet", "<office:spreadsheet>" + tables + "</office:spreadsheet>"));
}

void WriteDeckFodp(const std::string& path, const std::vector<std::string>& titles, bool hidden)
{
    std::string pages;
    int n = 0;
    for (const std::string& title : titles)
        pages += "<draw:page draw:name=\"page" + std::to_string(++n) + "\"" +
                 (hidden ? " draw:style-name=\"hidden\"" : "") + "><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"3cm\"><draw:text-box>"
                 "<text:p>" + title + "</text:p></draw:text-box></draw:frame></draw:page>";
    WriteFile(path, FlatDocument("presentation", "<office:presentation>" + pages + "</office:presentation>",
                                 "<office:automatic-styles><style:style style:name=\"hidden\" style:family=\"drawing-"
                                 "page\"><style:drawing-page-properties presentation:visibility=\"hidden\"/>"
                                 "</style:style></office:automatic-styles>"));
}

void WriteLinkedImageFodt(const std::string& path, const std::vector<std::string>& urls)
{
    std::string frames;
    for (const std::string& url : urls)
        frames += "<text:p><draw:frame draw:name=\"Linked" + std::to_string(frames.size()) +
                  "\" text:anchor-type=\"as-char\" svg:width=\"4cm\" svg:height=\"3cm\"><draw:image xlink:href=\"" +
                  url + "\" xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"/></draw:frame></text:p>";
    WriteFile(path, FlatDocument("text", "<office:text><text:p>Linked pictures</text:p>" + frames + "</office:text>"));
}

void WriteFormFodt(const std::string& path)
{
    std::string forms =
        "<office:forms form:automatic-focus=\"false\" form:apply-design-mode=\"false\"><form:form "
        "form:name=\"Standard\" form:control-implementation=\"ooo:com.sun.star.form.component.Form\">"
        "<form:text form:name=\"FullName\" xml:id=\"control1\" form:id=\"control1\" "
        "form:current-value=\"Ada Lovelace\" "
        "form:control-implementation=\"ooo:com.sun.star.form.component.TextField\"/>"
        "<form:checkbox form:name=\"Agreed\" xml:id=\"control2\" form:id=\"control2\" form:label=\"I agree\" "
        "form:current-state=\"checked\" "
        "form:control-implementation=\"ooo:com.sun.star.form.component.CheckBox\"/>"
        "</form:form></office:forms>";
    WriteFile(path, FlatDocument("text", "<office:text>" + forms +
                                             "<text:p>A form to fill in.</text:p><text:p>Name: <draw:control "
                                             "text:anchor-type=\"as-char\" svg:width=\"6cm\" svg:height=\"0.8cm\" "
                                             "draw:control=\"control1\"/></text:p><text:p><draw:control "
                                             "text:anchor-type=\"as-char\" svg:width=\"4cm\" svg:height=\"0.8cm\" "
                                             "draw:control=\"control2\"/></text:p></office:text>",
                                 // Without a default drawing style LibreOffice drops the controls.
                                 "<office:styles><style:default-style style:family=\"graphic\"/></office:styles>"));
}

void WriteAutoMacroOdt(const std::string& path, const std::string& text)
{
    std::string ns = OfficeNamespaces;
    std::string content =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content" + ns +
        " office:version=\"1.2\"><office:scripts><office:event-listeners>"
        "<script:event-listener script:language=\"ooo:script\" script:event-name=\"dom:load\" "
        "xlink:href=\"vnd.sun.star.script:Standard.Module1.Main?language=Basic&amp;location=document\" "
        "xlink:type=\"simple\"/></office:event-listeners></office:scripts>"
        "<office:body><office:text><text:p>" + text + "</text:p></office:text></office:body></office:document-content>\n";
    std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:"
        "opendocument:xmlns:manifest:1.0\" manifest:version=\"1.2\">"
        "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"application/vnd.oasis.opendocument.text\"/>"
        "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>"
        "<manifest:file-entry manifest:full-path=\"Basic/script-lc.xml\" manifest:media-type=\"text/xml\"/>"
        "<manifest:file-entry manifest:full-path=\"Basic/Standard/script-lb.xml\" manifest:media-type=\"text/xml\"/>"
        "<manifest:file-entry manifest:full-path=\"Basic/Standard/Module1.xml\" manifest:media-type=\"text/xml\"/>"
        "</manifest:manifest>\n";
    std::string libraries =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE library:libraries PUBLIC \"-//OpenOffice.org//DTD "
        "OfficeDocument 1.0//EN\" \"libraries.dtd\">\n<library:libraries xmlns:library=\"http://openoffice.org/"
        "2000/library\" xmlns:xlink=\"http://www.w3.org/1999/xlink\"><library:library library:name=\"Standard\" "
        "library:link=\"false\"/></library:libraries>\n";
    std::string library =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE library:library PUBLIC \"-//OpenOffice.org//DTD "
        "OfficeDocument 1.0//EN\" \"library.dtd\">\n<library:library xmlns:library=\"http://openoffice.org/2000/"
        "library\" library:name=\"Standard\" library:readonly=\"false\" library:passwordprotected=\"false\">"
        "<library:element library:name=\"Module1\"/></library:library>\n";
    std::string module =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE script:module PUBLIC \"-//OpenOffice.org//DTD "
        "OfficeDocument 1.0//EN\" \"module.dtd\">\n<script:module xmlns:script=\"http://openoffice.org/2000/script\" "
        "script:name=\"Module1\" script:language=\"StarBasic\">Sub Main\n"
        "  ThisComponent.getText().setString(\"MACRO RAN\")\nEnd Sub\n</script:module>\n";
    WriteStoredZip(path, {{"mimetype", "application/vnd.oasis.opendocument.text"},
                          {"content.xml", content},
                          {"Basic/script-lc.xml", libraries},
                          {"Basic/Standard/script-lb.xml", library},
                          {"Basic/Standard/Module1.xml", module},
                          {"META-INF/manifest.xml", manifest}});
}

void WritePasswordOdt(const std::string& path)
{
    std::string manifest =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:"
        "opendocument:xmlns:manifest:1.0\" manifest:version=\"1.2\">"
        "<manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"application/vnd.oasis.opendocument.text\"/>"
        "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\" manifest:size=\"4000\">"
        "<manifest:encryption-data manifest:checksum-type=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0#sha256-1k\" "
        "manifest:checksum=\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\">"
        "<manifest:algorithm manifest:algorithm-name=\"http://www.w3.org/2001/04/xmlenc#aes256-cbc\" "
        "manifest:initialisation-vector=\"AAAAAAAAAAAAAAAAAAAAAA==\"/>"
        "<manifest:start-key-generation manifest:start-key-generation-name=\"http://www.w3.org/2000/09/xmldsig#sha256\" "
        "manifest:key-size=\"32\"/>"
        "<manifest:key-derivation manifest:key-derivation-name=\"PBKDF2\" manifest:key-size=\"32\" "
        "manifest:iteration-count=\"100000\" manifest:salt=\"AAAAAAAAAAAAAAAAAAAAAA==\"/>"
        "</manifest:encryption-data></manifest:file-entry></manifest:manifest>\n";
    std::string sealed;
    for (int i = 0; i < 4096; ++i)
        sealed += static_cast<char>((i * 131 + 17) & 0xFF);
    WriteStoredZip(path, {{"mimetype", "application/vnd.oasis.opendocument.text"},
                          {"content.xml", sealed},
                          {"META-INF/manifest.xml", manifest}});
}

bool ConvertWithLibreOffice(const std::vector<std::string>& files, const std::string& format,
                            const std::string& folder)
{
    ScratchDir profile;
    std::vector<std::string> argv{"/usr/lib/libreoffice/program/soffice", "--headless", "--norestore",
                                  "-env:UserInstallation=file://" + profile.path, "--convert-to", format,
                                  "--outdir", folder};
    argv.insert(argv.end(), files.begin(), files.end());
    RunResult result = RunProgram(argv, {.timeoutSeconds = 600});
    if (result.status != 0)
        return false;
    for (const std::string& file : files) {
        std::string name = file.substr(file.rfind('/') + 1);
        std::string made = folder + "/" + name.substr(0, name.rfind('.')) + "." + format.substr(0, format.find(':'));
        if (!Exists(made))
            return false;
    }
    return true;
}
