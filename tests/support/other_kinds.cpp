#include "support/other_kinds.h"

#include "support/image_writers.h"
#include "support/process.h"

#include <filesystem>
#include <libheif/heif.h>
#include <stdexcept>
#include <zlib.h>

namespace {

void Check(heif_error error, const char* what)
{
    if (error.code != heif_error_Ok)
        throw std::runtime_error(std::string(what) + ": " + error.message);
}

heif_image* HeifOf(const Pixels& p)
{
    bool alpha = p.channels == 4;
    bool deep = p.depth > 8;
    heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                              : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* image = nullptr;
    Check(heif_image_create(p.width, p.height, heif_colorspace_RGB, chroma, &image), "heif_image_create");
    Check(heif_image_add_plane(image, heif_channel_interleaved, p.width, p.height, p.depth), "heif_image_add_plane");
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < p.channels; ++c) {
                std::uint16_t v = p.At(x, y, c);
                if (deep) {
                    std::uint8_t* at = plane + std::size_t(y) * std::size_t(stride) + (std::size_t(x) * std::size_t(p.channels) + std::size_t(c)) * 2;
                    at[0] = std::uint8_t(v >> 8);
                    at[1] = std::uint8_t(v & 0xff);
                } else {
                    plane[std::size_t(y) * std::size_t(stride) + std::size_t(x) * std::size_t(p.channels) + std::size_t(c)] = std::uint8_t(v);
                }
            }
    return image;
}

} // namespace

void WriteHeif(const std::string& path, const std::vector<HeifImage>& images, bool avif, int primary)
{
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    Check(heif_context_get_encoder_for_format(context, avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder),
          "no encoder");
    heif_encoder_set_lossy_quality(encoder, 90);
    std::vector<heif_image_handle*> handles;
    for (const HeifImage& source : images) {
        heif_image* image = HeifOf(source.pixels);
        if (!source.icc.empty())
            Check(heif_image_set_raw_color_profile(image, "prof", source.icc.data(), source.icc.size()), "profile");
        heif_encoding_options* options = heif_encoding_options_alloc();
        options->image_orientation = heif_orientation(source.orientation);
        heif_image_handle* handle = nullptr;
        Check(heif_context_encode_image(context, image, encoder, options, &handle), "encode");
        heif_encoding_options_free(options);
        heif_image_release(image);
        handles.push_back(handle);
    }
    heif_context_set_primary_image(context, handles[std::size_t(primary)]);
    Check(heif_context_write_to_file(context, path.c_str()), "write");
    for (heif_image_handle* handle : handles)
        heif_image_handle_release(handle);
    heif_encoder_release(encoder);
    heif_context_free(context);
}

HeifDecoded DecodeHeif(const std::string& path, int index)
{
    heif_context* context = heif_context_alloc();
    Check(heif_context_read_from_file(context, path.c_str(), nullptr), "read");
    std::vector<heif_item_id> ids(std::size_t(heif_context_get_number_of_top_level_images(context)));
    heif_context_get_list_of_top_level_image_IDs(context, ids.data(), int(ids.size()));
    heif_item_id primary = 0;
    heif_context_get_primary_image_ID(context, &primary);
    std::vector<heif_item_id> order = {primary};
    for (heif_item_id id : ids)
        if (id != primary)
            order.push_back(id);
    heif_image_handle* handle = nullptr;
    Check(heif_context_get_image_handle(context, order.at(std::size_t(index)), &handle), "handle");
    HeifDecoded out;
    out.alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    out.bits = heif_image_handle_get_luma_bits_per_pixel(handle);
    bool deep = out.bits > 8;
    heif_chroma chroma = deep ? (out.alpha ? heif_chroma_interleaved_RRGGBBAA_BE : heif_chroma_interleaved_RRGGBB_BE)
                              : (out.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* image = nullptr;
    Check(heif_decode_image(handle, &image, heif_colorspace_RGB, chroma, nullptr), "decode");
    out.width = heif_image_get_width(image, heif_channel_interleaved);
    out.height = heif_image_get_height(image, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    std::size_t row = std::size_t(out.width) * (out.alpha ? 4 : 3) * (deep ? 2 : 1);
    for (int y = 0; y < out.height; ++y)
        out.samples.append(reinterpret_cast<const char*>(plane) + std::size_t(y) * std::size_t(stride), row);
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return out;
}

void WriteJxl(const std::string& source, const std::string& path, const std::vector<std::string>& options)
{
    std::vector<std::string> argv = {"/usr/bin/cjxl", source, path};
    argv.insert(argv.end(), options.begin(), options.end());
    RunResult r = RunProgram(argv);
    if (r.status != 0)
        throw std::runtime_error("cjxl failed: " + r.err);
}

void WriteXps(const std::string& path, const std::vector<std::string>& pageTexts, bool openXps)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::path(path).parent_path() / (fs::path(path).filename().string() + ".parts");
    fs::remove_all(dir);
    fs::create_directories(dir / "_rels");
    fs::create_directories(dir / "Documents/1/Pages");
    fs::create_directories(dir / "Resources");
    std::string ns = openXps ? "http://schemas.openxps.org/oxps/v1.0" : "http://schemas.microsoft.com/xps/2005/06";
    std::string seq = openXps ? "FixedDocumentSequence.fdseq" : "FixedDocSeq.fdseq";
    std::string type = openXps ? "http://schemas.openxps.org/oxps/v1.0/fixedrepresentation"
                               : "http://schemas.microsoft.com/xps/2005/06/fixedrepresentation";
    std::string kind = openXps ? "application/vnd.ms-package.xps" : "application/vnd.ms-package.xps";
    WriteFile((dir / "[Content_Types].xml").string(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
              "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
              "<Default Extension=\"fdseq\" ContentType=\"" + kind + "-fixeddocumentsequence+xml\"/>"
              "<Default Extension=\"fdoc\" ContentType=\"" + kind + "-fixeddocument+xml\"/>"
              "<Default Extension=\"fpage\" ContentType=\"" + kind + "-fixedpage+xml\"/>"
              "<Default Extension=\"ttf\" ContentType=\"application/vnd.ms-opentype\"/></Types>\n");
    WriteFile((dir / "_rels/.rels").string(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
              "<Relationship Id=\"R1\" Type=\"" + type + "\" Target=\"/" + seq + "\"/></Relationships>\n");
    WriteFile((dir / seq).string(), "<FixedDocumentSequence xmlns=\"" + ns +
                                        "\"><DocumentReference Source=\"/Documents/1/FixedDoc.fdoc\"/>"
                                        "</FixedDocumentSequence>\n");
    std::string doc = "<FixedDocument xmlns=\"" + ns + "\">";
    for (std::size_t i = 0; i < pageTexts.size(); ++i) {
        std::string name = "/Documents/1/Pages/" + std::to_string(i + 1) + ".fpage";
        doc += "<PageContent Source=\"" + name + "\"/>";
        WriteFile((dir / name.substr(1)).string(),
                  "<FixedPage Width=\"816\" Height=\"1056\" xmlns=\"" + ns + "\" xml:lang=\"en-US\">"
                  "<Path Data=\"M 96,200 L 400,200 L 400,300 Z\" Fill=\"#FF0000\"/>"
                  "<Glyphs Fill=\"#000000\" FontUri=\"/Resources/font.ttf\" FontRenderingEmSize=\"24\" "
                  "OriginX=\"96\" OriginY=\"120\" UnicodeString=\"" + pageTexts[i] + "\"/></FixedPage>\n");
    }
    WriteFile((dir / "Documents/1/FixedDoc.fdoc").string(), doc + "</FixedDocument>\n");
    fs::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", dir / "Resources/font.ttf");
    fs::remove(path);
    RunResult r = RunProgram({"/usr/bin/zip", "-q", "-r", "-X", fs::absolute(path).string(), "[Content_Types].xml",
                              "_rels", seq, "Documents", "Resources"},
                             {.cwd = dir.string()});
    fs::remove_all(dir);
    if (r.status != 0)
        throw std::runtime_error("zip failed: " + r.err);
}

std::string Gzip(const std::string& data)
{
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("cannot start gzip compression");
    std::string out(deflateBound(&z, uLong(data.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    int status = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END)
        throw std::runtime_error("gzip compression failed");
    return out;
}

std::string SvgDrawing(int width, int height, const std::string& text, const std::string& extra)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!-- a drawing -->\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"" +
           std::to_string(width) + "\" height=\"" + std::to_string(height) + "\">\n" +
           "  <rect x=\"10\" y=\"10\" width=\"" + std::to_string(width / 2) + "\" height=\"" +
           std::to_string(height / 3) + "\" fill=\"#3060c0\"/>\n"
           "  <path d=\"M 10 " + std::to_string(height - 10) + " C 50 10, 150 10, " + std::to_string(width - 10) +
           " " + std::to_string(height - 10) + "\" stroke=\"black\" fill=\"none\" stroke-width=\"3\"/>\n"
           "  <text x=\"20\" y=\"" + std::to_string(height / 2 + 20) +
           "\" font-family=\"DejaVu Sans\" font-size=\"24\">" + text + "</text>\n" + extra + "</svg>\n";
}

std::string PostScriptPages(const std::vector<std::string>& pageTexts)
{
    std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pageTexts.size()) + "\n%%EndComments\n";
    for (std::size_t i = 0; i < pageTexts.size(); ++i)
        ps += "%%Page: " + std::to_string(i + 1) + " " + std::to_string(i + 1) +
              "\n<< /PageSize [595 842] >> setpagedevice\n"
              "0.2 0.4 0.8 setrgbcolor 72 600 200 100 rectfill 0 setgray\n"
              "/Helvetica findfont 24 scalefont setfont 72 750 moveto (" + pageTexts[i] + ") show\nshowpage\n";
    return ps + "%%EOF\n";
}

std::string EpsDrawing(int llx, int lly, int urx, int ury, const std::string& text)
{
    auto n = [](int v) { return std::to_string(v); };
    return "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: " + n(llx) + " " + n(lly) + " " + n(urx) + " " + n(ury) +
           "\n%%EndComments\n"
           "0.8 0.2 0.2 setrgbcolor " + n(llx) + " " + n(lly) + " " + n(urx - llx) + " " + n((ury - lly) / 2) +
           " rectfill 0 setgray\n/Helvetica findfont 18 scalefont setfont " + n(llx + 10) + " " + n(ury - 30) +
           " moveto (" + text + ") show\nshowpage\n%%EOF\n";
}

void WriteOtherKinds(const std::string& folder)
{
    Pixels photo = Pattern(160, 120, 3, 8, 41);
    WriteHeif(folder + "/photo.heic", {{.pixels = photo, .orientation = 6}, {.pixels = Pattern(80, 60, 3, 8, 42)}}, false);
    WriteHeif(folder + "/photo.avif", {{.pixels = Pattern(120, 90, 4, 8, 43)}}, true);
    WritePng(folder + "/photo-source.png", Pattern(120, 90, 4, 8, 44));
    WriteJxl(folder + "/photo-source.png", folder + "/photo.jxl", {"-d", "0"});
    WriteJpeg(folder + "/photo-source.jpg", Pattern(160, 120, 3, 8, 45), {.dpi = 150});
    WriteJxl(folder + "/photo-source.jpg", folder + "/recompressed.jxl");
    std::filesystem::remove(folder + "/photo-source.png");
    std::filesystem::remove(folder + "/photo-source.jpg");
    WriteFile(folder + "/drawing.svg", SvgDrawing(400, 300, "A drawing in SVG"));
    WriteFile(folder + "/drawing.eps", EpsDrawing(100, 200, 400, 400, "An EPS drawing"));
    WriteFile(folder + "/pages.ps", PostScriptPages({"PostScript page one", "PostScript page two"}));
    WriteXps(folder + "/pages.xps", {"XPS page one", "XPS page two"});
    WriteFile(folder + "/notes.txt", "Notes\n\tindented by a tab\nCaf\xc3\xa9, na\xc3\xafve, \xce\xb1\xce\xb2\xce\xb3, "
                                     "\xd0\xb6\xd0\xb8\xd0\xb7\xd0\xbd\xd1\x8c\n\fA second page\n");
}
