// Plain text laid out with Pango on cairo's PDF surface: A4 pages with 2 cm
// margins, a monospaced font, tabs every eight columns, long lines wrapped
// and a form feed starting a new page. The text stays text in the PDF.
#include "vector/rendered_pdf.h"
#include "vector/vector_import.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <stdexcept>
#include <vector>

namespace {

constexpr double PageWidth = 595.2756;  // A4, in points
constexpr double PageHeight = 841.8898;
constexpr double Margin = 56.6929;      // 2 cm
constexpr int TabColumns = 8;
constexpr const char* Font = "DejaVu Sans Mono, Monospace 10";

// Windows-1252's characters in 0x80..0x9f, where Latin-1 has controls; the
// five bytes it leaves undefined stay as they are.
constexpr char32_t Cp1252[32] = {0x20ac, 0x81,   0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021,
                                 0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8d,   0x017d, 0x8f,
                                 0x90,   0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
                                 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x9d,   0x017e, 0x0178};

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xc0 | (c >> 6));
        out += char(0x80 | (c & 0x3f));
    } else {
        out += char(0xe0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3f));
        out += char(0x80 | (c & 0x3f));
    }
}

// The text as UTF-8, without a byte-order mark, with every line end a "\n".
std::string AsUtf8(const std::string& bytes)
{
    std::string text;
    if (g_utf8_validate(bytes.data(), gssize(bytes.size()), nullptr)) {
        text = bytes.substr(0, 3) == "\xef\xbb\xbf" ? bytes.substr(3) : bytes;
    } else {
        text.reserve(bytes.size() + bytes.size() / 4);
        for (char byte : bytes) {
            auto b = static_cast<unsigned char>(byte);
            AppendUtf8(text, b >= 0x80 && b < 0xa0 ? Cp1252[b - 0x80] : char32_t(b));
        }
    }
    std::string lines;
    lines.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            lines += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            lines += text[i];
        }
    }
    return lines;
}

// A line with its tabs turned into spaces to the next multiple of eight columns.
std::string ExpandTabs(std::string_view line)
{
    std::string out;
    std::size_t column = 0;
    for (char c : line) {
        if (c == '\t') {
            std::size_t spaces = TabColumns - column % TabColumns;
            out.append(spaces, ' ');
            column += spaces;
        } else {
            out += c;
            // Continuation bytes of UTF-8 take no column of their own.
            if ((static_cast<unsigned char>(c) & 0xc0) != 0x80)
                ++column;
        }
    }
    return out;
}

class Typesetter {
public:
    explicit Typesetter(RenderedPdf& pdf) : cr_(cairo_create(pdf.Surface()))
    {
        layout_ = pango_cairo_create_layout(cr_);
        // Sizes in points: the PDF surface's unit.
        pango_cairo_context_set_resolution(pango_layout_get_context(layout_), 72);
        pango_layout_context_changed(layout_);
        PangoFontDescription* font = pango_font_description_from_string(Font);
        pango_layout_set_font_description(layout_, font);
        PangoFontMetrics* metrics = pango_context_get_metrics(pango_layout_get_context(layout_), font, nullptr);
        ascent_ = pango_font_metrics_get_ascent(metrics) / double(PANGO_SCALE);
        pitch_ = ascent_ + pango_font_metrics_get_descent(metrics) / double(PANGO_SCALE);
        pango_font_metrics_unref(metrics);
        pango_font_description_free(font);
        if (!(pitch_ > 0))
            pitch_ = 12;
        pango_layout_set_width(layout_, int((PageWidth - 2 * Margin) * PANGO_SCALE));
        pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
        y_ = Margin;
    }
    ~Typesetter()
    {
        g_object_unref(layout_);
        cairo_destroy(cr_);
    }
    Typesetter(const Typesetter&) = delete;
    Typesetter& operator=(const Typesetter&) = delete;

    void NewPage()
    {
        cairo_show_page(cr_);
        y_ = Margin;
    }

    void Line(std::string_view text)
    {
        if (text.empty()) {
            Advance();
            return;
        }
        std::string expanded = ExpandTabs(text);
        pango_layout_set_text(layout_, expanded.data(), int(expanded.size()));
        int count = pango_layout_get_line_count(layout_);
        for (int i = 0; i < count; ++i) {
            PangoLayoutLine* line = pango_layout_get_line_readonly(layout_, i);
            if (y_ + pitch_ > PageHeight - Margin + 0.01)
                NewPage();
            cairo_move_to(cr_, Margin, y_ + ascent_);
            pango_cairo_show_layout_line(cr_, line);
            y_ += pitch_;
        }
    }

private:
    void Advance()
    {
        if (y_ + pitch_ > PageHeight - Margin + 0.01)
            NewPage();
        y_ += pitch_;
    }

    cairo_t* cr_;
    PangoLayout* layout_;
    double ascent_ = 0, pitch_ = 0, y_ = 0;
};

} // namespace

bool IsPlainText(std::string_view bytes)
{
    // A DOS end-of-file mark may close the text.
    if (!bytes.empty() && bytes.back() == '\x1a')
        bytes.remove_suffix(1);
    if (bytes.empty())
        return false;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f')
            return false;
        if (b == 0x7f)
            return false;
    }
    return true;
}

std::shared_ptr<QPDF> ReadPlainText(const std::string& bytes)
{
    std::string text = AsUtf8(!bytes.empty() && bytes.back() == '\x1a' ? bytes.substr(0, bytes.size() - 1) : bytes);
    // A form feed starts a new page; one at the very end makes no empty page.
    std::vector<std::string_view> sheets;
    std::string_view rest = text;
    for (;;) {
        std::size_t feed = rest.find('\f');
        sheets.push_back(rest.substr(0, feed));
        if (feed == std::string_view::npos)
            break;
        rest = rest.substr(feed + 1);
    }
    if (sheets.size() > 1 && (sheets.back().empty() || sheets.back() == "\n"))
        sheets.pop_back();

    RenderedPdf pdf(PageWidth, PageHeight);
    {
        Typesetter typesetter(pdf);
        for (std::size_t s = 0; s < sheets.size(); ++s) {
            if (s > 0)
                typesetter.NewPage();
            std::string_view sheet = sheets[s];
            if (!sheet.empty() && sheet.back() == '\n')
                sheet.remove_suffix(1);
            while (true) {
                std::size_t end = sheet.find('\n');
                typesetter.Line(sheet.substr(0, end));
                if (end == std::string_view::npos)
                    break;
                sheet = sheet.substr(end + 1);
            }
        }
    }
    return pdf.Finish("text file");
}
