// JPEG: the file goes into the PDF as it is (DCT). libjpeg reads the header;
// the resolution comes from JFIF or EXIF, and the EXIF orientation turns the page.
#include "images/exif.h"
#include "images/image_import.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <stdexcept>

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr info)
{
    ErrorManager* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void OnMessage(j_common_ptr, int) {}

struct Header {
    int width = 0, height = 0, components = 0, precision = 0;
    bool adobe = false;
    int densityUnit = 0, xDensity = 0, yDensity = 0;
    bool jfif = false;
    std::string exif, icc;
};

// libjpeg reports errors by a long jump: nothing here owns memory of its own.
bool ReadHeader(const std::string& bytes, Header& header, ErrorManager& errors)
{
    jpeg_decompress_struct info;
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = OnError;
    errors.base.emit_message = OnMessage;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&info, JPEG_APP0 + 1, 0xffff);
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xffff);
    jpeg_read_header(&info, TRUE);
    header.width = int(info.image_width);
    header.height = int(info.image_height);
    header.components = info.num_components;
    header.precision = info.data_precision;
    header.adobe = info.saw_Adobe_marker;
    header.jfif = info.saw_JFIF_marker;
    header.densityUnit = info.density_unit;
    header.xDensity = info.X_density;
    header.yDensity = info.Y_density;
    for (jpeg_saved_marker_ptr m = info.marker_list; m != nullptr; m = m->next) {
        const char* data = reinterpret_cast<const char*>(m->data);
        if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 && std::memcmp(data, "Exif\0\0", 6) == 0)
            header.exif.assign(data + 6, m->data_length - 6);
        // ICC profiles may be split over several APP2 markers, numbered from 1.
        if (m->marker == JPEG_APP0 + 2 && m->data_length > 14 && std::memcmp(data, "ICC_PROFILE\0", 12) == 0)
            header.icc.append(data + 14, m->data_length - 14);
    }
    jpeg_destroy_decompress(&info);
    return true;
}

// The scan must end with its end-of-image marker: a truncated file is refused.
bool EndsWhole(const std::string& bytes)
{
    std::size_t end = bytes.size();
    while (end > 2 && bytes[end - 1] != '\xd9')
        --end; // trailing bytes after the image are tolerated
    return end >= 4 && bytes[end - 2] == '\xff' && bytes.size() - end < 4096;
}

} // namespace

std::vector<ImagePage> ReadJpeg(const std::string& bytes)
{
    Header header;
    ErrorManager errors;
    if (!ReadHeader(bytes, header, errors))
        throw std::runtime_error(std::string("the JPEG file is damaged: ") + errors.message);
    if (!EndsWhole(bytes))
        throw std::runtime_error("the JPEG file is truncated");
    if (header.precision != 8)
        throw std::runtime_error("JPEG with " + std::to_string(header.precision) + "-bit samples is not supported");
    if (header.components != 1 && header.components != 3 && header.components != 4)
        throw std::runtime_error("JPEG with " + std::to_string(header.components) + " components is not supported");

    ImagePage page;
    Raster& r = page.raster;
    r.width = header.width;
    r.height = header.height;
    r.space = header.components == 1 ? Raster::Space::Gray
              : header.components == 3 ? Raster::Space::RGB
                                       : Raster::Space::CMYK;
    r.filter = "/DCTDecode";
    r.data = bytes;
    r.icc = header.icc;
    // Adobe's applications write CMYK JPEG inverted, and mark it so.
    if (header.components == 4 && header.adobe)
        r.decode = {1, 0, 1, 0, 1, 0, 1, 0};

    ExifFacts exif = ReadExif(header.exif);
    if (header.jfif && header.densityUnit != 0 && header.xDensity > 0 && header.yDensity > 0) {
        double scale = header.densityUnit == 2 ? 2.54 : 1.0;
        page.xDpi = header.xDensity * scale;
        page.yDpi = header.yDensity * scale;
    } else if (exif.xDpi > 0 && exif.yDpi > 0) {
        page.xDpi = exif.xDpi;
        page.yDpi = exif.yDpi;
    } else if (header.jfif && header.densityUnit == 0 && header.xDensity > 0 && header.yDensity > 0) {
        page.yDpi = DefaultDpi * header.yDensity / header.xDensity;
    }
    ApplyOrientation(exif.orientation, page);
    return {page};
}
