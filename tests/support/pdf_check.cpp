#include "support/pdf_check.h"

#include "support/process.h"

#include <map>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFPageLabelDocumentHelper.hh>

namespace {

std::string Trim(const std::string& text)
{
    std::size_t first = text.find_first_not_of(" \n\t\r");
    std::size_t last = text.find_last_not_of(" \n\t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::map<QPDFObjGen, int> PageIndexes(QPDF& pdf)
{
    std::map<QPDFObjGen, int> indexes;
    int i = 0;
    for (QPDFObjectHandle page : pdf.getAllPages())
        indexes[page.getObjGen()] = i++;
    return indexes;
}

void Walk(std::vector<QPDFOutlineObjectHelper> items, const std::map<QPDFObjGen, int>& pages, int depth,
          std::vector<OutlineEntry>& entries)
{
    for (QPDFOutlineObjectHelper& item : items) {
        // Named destinations may resolve to a dictionary holding the array.
        QPDFObjectHandle dest = item.getDest();
        if (dest.isDictionary())
            dest = dest.getKey("/D");
        QPDFObjectHandle page = dest.isArray() && dest.getArrayNItems() > 0 ? dest.getArrayItem(0) : dest;
        int index = -1;
        if (page.isIndirect() && pages.count(page.getObjGen()))
            index = pages.at(page.getObjGen());
        entries.push_back({item.getTitle(), index, depth});
        Walk(item.getKids(), pages, depth + 1, entries);
    }
}

} // namespace

std::vector<std::string> PageTexts(const std::string& pdf)
{
    RunResult r = RunProgram({"/usr/bin/pdftotext", "-q", pdf, "-"});
    std::vector<std::string> pages;
    std::size_t start = 0;
    for (;;) {
        std::size_t feed = r.out.find('\f', start);
        if (feed == std::string::npos)
            break;
        pages.push_back(Trim(r.out.substr(start, feed - start)));
        start = feed + 1;
    }
    return pages;
}

bool QpdfAccepts(const std::string& pdf)
{
    RunResult r = RunProgram({"/usr/bin/qpdf", "--check", pdf});
    return r.status == 0;
}

std::vector<OutlineEntry> Outline(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    QPDFOutlineDocumentHelper outlines(file);
    std::vector<OutlineEntry> entries;
    Walk(outlines.getTopLevelOutlines(), PageIndexes(file), 0, entries);
    return entries;
}

std::vector<std::pair<std::string, int>> FormFields(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    auto pages = PageIndexes(file);
    QPDFAcroFormDocumentHelper forms(file);
    std::vector<std::pair<std::string, int>> fields;
    for (QPDFFormFieldObjectHelper& field : forms.getFormFields()) {
        int page = -1;
        for (QPDFAnnotationObjectHelper& widget : forms.getAnnotationsForField(field)) {
            QPDFObjectHandle p = widget.getObjectHandle().getKey("/P");
            if (p.isIndirect() && pages.count(p.getObjGen()))
                page = pages.at(p.getObjGen());
        }
        if (page < 0) {
            // No /P: find the page whose annotations hold the widget.
            int i = 0;
            for (QPDFObjectHandle candidate : file.getAllPages()) {
                QPDFObjectHandle annots = candidate.getKey("/Annots");
                for (int a = 0; annots.isArray() && a < annots.getArrayNItems(); ++a) {
                    if (annots.getArrayItem(a).getObjGen() == field.getObjectHandle().getObjGen())
                        page = i;
                }
                ++i;
            }
        }
        fields.emplace_back(field.getFullyQualifiedName(), page);
    }
    return fields;
}

std::vector<std::string> PageLabels(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    QPDFPageLabelDocumentHelper labels(file);
    std::vector<std::string> result;
    long long count = static_cast<long long>(file.getAllPages().size());
    for (long long i = 0; i < count; ++i) {
        if (!labels.hasPageLabels()) {
            result.push_back(std::to_string(i + 1));
            continue;
        }
        // The label of page i alone, as a range of its own: /St is its number.
        std::vector<QPDFObjectHandle> entries;
        labels.getLabelsForPageRange(i, i, 0, entries);
        QPDFObjectHandle own = entries.at(1);
        std::string prefix = own.getKey("/P").isString() ? own.getKey("/P").getUTF8Value() : "";
        long long number = own.getKey("/St").isInteger() ? own.getKey("/St").getIntValue() : 1;
        result.push_back(prefix + (own.getKey("/S").isName() ? std::to_string(number) : ""));
    }
    return result;
}

std::vector<std::pair<int, int>> LinkTargets(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    auto pages = PageIndexes(file);
    QPDFOutlineDocumentHelper names(file);
    std::vector<std::pair<int, int>> links;
    int from = 0;
    for (QPDFObjectHandle page : file.getAllPages()) {
        QPDFObjectHandle annots = page.getKey("/Annots");
        for (int a = 0; annots.isArray() && a < annots.getArrayNItems(); ++a) {
            QPDFObjectHandle link = annots.getArrayItem(a);
            if (!link.getKey("/Subtype").isNameAndEquals("/Link"))
                continue;
            QPDFObjectHandle dest = link.getKey("/Dest");
            if (link.getKey("/A").isDictionary())
                dest = link.getKey("/A").getKey("/D");
            if (dest.isName() || dest.isString())
                dest = names.resolveNamedDest(dest);
            if (dest.isDictionary())
                dest = dest.getKey("/D");
            int to = -1;
            if (dest.isArray() && dest.getArrayNItems() > 0 && pages.count(dest.getArrayItem(0).getObjGen()))
                to = pages.at(dest.getArrayItem(0).getObjGen());
            links.emplace_back(from, to);
        }
        ++from;
    }
    return links;
}

std::vector<std::vector<std::string>> AnnotationSubtypes(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    std::vector<std::vector<std::string>> result;
    for (QPDFObjectHandle page : file.getAllPages()) {
        result.emplace_back();
        QPDFObjectHandle annots = page.getKey("/Annots");
        for (int a = 0; annots.isArray() && a < annots.getArrayNItems(); ++a) {
            QPDFObjectHandle subtype = annots.getArrayItem(a).getKey("/Subtype");
            result.back().push_back(subtype.isName() ? subtype.getName() : "?");
        }
    }
    return result;
}

std::vector<std::string> ListedFields(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    std::vector<std::string> names;
    QPDFObjectHandle fields = file.getRoot().getKey("/AcroForm").getKey("/Fields");
    for (int i = 0; fields.isArray() && i < fields.getArrayNItems(); ++i) {
        QPDFObjectHandle name = fields.getArrayItem(i).getKey("/T");
        names.push_back(name.isString() ? name.getUTF8Value() : "");
    }
    return names;
}

long long PageTreeCount(const std::string& pdf)
{
    QPDF file;
    file.processFile(pdf.c_str());
    QPDFObjectHandle count = file.getRoot().getKey("/Pages").getKey("/Count");
    return count.isInteger() ? count.getIntValue() : -1;
}
