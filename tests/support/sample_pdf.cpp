#include "support/sample_pdf.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

void WriteSamplePdf(const std::string& path, const SamplePdf& sample)
{
    QPDF pdf;
    pdf.emptyPDF();
    QPDFObjectHandle font = pdf.makeIndirectObject(
        QPDFObjectHandle::parse("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"));
    QPDFPageDocumentHelper pages(pdf);
    for (const std::string& text : sample.pages) {
        std::string content = "BT /F1 24 Tf 72 700 Td (" + text + ") Tj ET\n"
                              "0.2 0.4 0.8 rg 72 100 200 100 re f\n";
        // Filler that compresses like real content: a comment of varied digits.
        unsigned seed = static_cast<unsigned>(content.size());
        for (std::size_t i = 0; i < sample.padding; i += 64) {
            content += "%";
            for (int d = 0; d < 62; ++d) {
                seed = seed * 1103515245u + 12345u;
                content += static_cast<char>('0' + (seed >> 16) % 10);
            }
            content += "\n";
        }
        QPDFObjectHandle stream = QPDFObjectHandle::newStream(&pdf, content);
        QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse(&pdf, 
            "<< /Type /Page /MediaBox [0 0 612 792] /Resources << /Font << /F1 " + font.unparse() + " >> >> >>"));
        page.replaceKey("/Contents", stream);
        pages.addPage(QPDFPageObjectHelper(page), false);
    }
    std::vector<QPDFObjectHandle> all = pdf.getAllPages();
    QPDFObjectHandle root = pdf.getRoot();

    if (sample.bookmarks) {
        QPDFObjectHandle outlines = pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Outlines >>"));
        QPDFObjectHandle previous;
        for (std::size_t i = 0; i < all.size(); ++i) {
            QPDFObjectHandle item = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
            item.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(sample.pages[i]));
            item.replaceKey("/Parent", outlines);
            item.replaceKey("/Dest", QPDFObjectHandle::parse(&pdf, "[" + all[i].unparse() + " /Fit]"));
            if (previous.isInitialized()) {
                previous.replaceKey("/Next", item);
                item.replaceKey("/Prev", previous);
            } else {
                outlines.replaceKey("/First", item);
            }
            outlines.replaceKey("/Last", item);
            previous = item;
        }
        outlines.replaceKey("/Count", QPDFObjectHandle::newInteger(static_cast<long long>(all.size())));
        root.replaceKey("/Outlines", outlines);
    }

    QPDFObjectHandle annots = QPDFObjectHandle::newArray();
    if (!sample.fieldName.empty()) {
        QPDFObjectHandle field = pdf.makeIndirectObject(QPDFObjectHandle::parse(
            "<< /Type /Annot /Subtype /Widget /FT /Tx /Rect [72 600 300 630] /DA (/Helv 12 Tf 0 g) >>"));
        field.replaceKey("/T", QPDFObjectHandle::newUnicodeString(sample.fieldName));
        field.replaceKey("/V", QPDFObjectHandle::newUnicodeString("value of " + sample.fieldName));
        field.replaceKey("/P", all[0]);
        annots.appendItem(field);
        QPDFObjectHandle form = QPDFObjectHandle::parse(
            "<< /DA (/Helv 0 Tf 0 g) /DR << /Font << /Helv << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> >>");
        form.replaceKey("/Fields", QPDFObjectHandle::newArray({field}));
        if (sample.form == SamplePdf::Form::FieldsNotArray)
            form.replaceKey("/Fields", QPDFObjectHandle::parse("<< /Kids [] >>"));
        if (sample.form != SamplePdf::Form::NoAcroForm)
            root.replaceKey("/AcroForm", form);
    }
    if (sample.link) {
        QPDFObjectHandle link = pdf.makeIndirectObject(
            QPDFObjectHandle::parse("<< /Type /Annot /Subtype /Link /Rect [72 100 272 200] /Border [0 0 1] >>"));
        link.replaceKey("/Dest", QPDFObjectHandle::parse(&pdf, "[" + all.back().unparse() + " /Fit]"));
        annots.appendItem(link);
    }
    if (annots.getArrayNItems() > 0)
        all[0].replaceKey("/Annots", annots);
    if (sample.signatureWidget) {
        QPDFObjectHandle signature = pdf.makeIndirectObject(QPDFObjectHandle::parse(
            "<< /Type /Annot /Subtype /Widget /FT /Sig /T (Signature1) /F 132 /Rect [300 50 500 90] >>"));
        signature.replaceKey("/P", all.back());
        QPDFObjectHandle last = all.back().getKey("/Annots");
        if (!last.isArray()) {
            last = QPDFObjectHandle::newArray();
            all.back().replaceKey("/Annots", last);
        }
        last.appendItem(signature);
    }
    if (sample.pageCount >= 0)
        root.getKey("/Pages").replaceKey("/Count", QPDFObjectHandle::newInteger(sample.pageCount));

    if (!sample.labelPrefix.empty()) {
        QPDFObjectHandle label = QPDFObjectHandle::parse("<< /S /D >>");
        label.replaceKey("/P", QPDFObjectHandle::newUnicodeString(sample.labelPrefix));
        QPDFObjectHandle labels = QPDFObjectHandle::newDictionary();
        labels.replaceKey("/Nums", QPDFObjectHandle::newArray({QPDFObjectHandle::newInteger(0), label}));
        root.replaceKey("/PageLabels", labels);
    }

    QPDFWriter writer(pdf, path.c_str());
    writer.write();
}
