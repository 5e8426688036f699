#include "page_insertion.h"

#include "outline_copy.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFMatrix.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageLabelDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <memory>
#include <set>
#include <stdexcept>

namespace {

// Appends the label entries of pages first .. last of a document as they
// stand at newFirst in the joined one. Pages of a document without labels are
// numbered by their place in the joined document, as a viewer would show them.
void AppendLabels(QPDFPageLabelDocumentHelper& labels, std::size_t first, std::size_t last,
                  std::size_t newFirst, std::vector<QPDFObjectHandle>& nums)
{
    using Index = long long;
    if (labels.hasPageLabels()) {
        labels.getLabelsForPageRange(Index(first), Index(last), Index(newFirst), nums);
        return;
    }
    QPDFObjectHandle decimal = QPDFObjectHandle::parse("<< /S /D >>");
    decimal.replaceKey("/St", QPDFObjectHandle::newInteger(Index(newFirst) + 1));
    nums.push_back(QPDFObjectHandle::newInteger(Index(newFirst)));
    nums.push_back(decimal);
}

// The labels of the joined page sequence: the target's before and after the
// insertion, the source's in between. Labels are written only when one of the
// two documents has any.
void MergePageLabels(QPDF& target, QPDF& source, std::size_t at, std::size_t targetCount,
                     std::size_t sourceCount)
{
    QPDFPageLabelDocumentHelper targetLabels(target), sourceLabels(source);
    if (!targetLabels.hasPageLabels() && !sourceLabels.hasPageLabels())
        return;
    std::vector<QPDFObjectHandle> nums, fromSource;
    if (at > 0)
        AppendLabels(targetLabels, 0, at - 1, 0, nums);
    AppendLabels(sourceLabels, 0, sourceCount - 1, at, fromSource);
    for (std::size_t i = 0; i < fromSource.size(); ++i) {
        QPDFObjectHandle entry = fromSource[i];
        // Label dictionaries come from the other file: copy them over.
        if (i % 2 == 1 && sourceLabels.hasPageLabels())
            entry = target.copyForeignObject(source.makeIndirectObject(entry));
        nums.push_back(entry);
    }
    if (at < targetCount)
        AppendLabels(targetLabels, at, targetCount - 1, at + sourceCount, nums);
    QPDFObjectHandle labels = QPDFObjectHandle::newDictionary();
    labels.replaceKey("/Nums", QPDFObjectHandle::newArray(nums));
    target.getRoot().replaceKey("/PageLabels", labels);
}

// The target has none of the source's named destinations: links that name one
// are given the explicit destination instead, before they are copied.
void ResolveNamedLinks(QPDFOutlineDocumentHelper& names, QPDFObjectHandle annotations)
{
    auto explicitDest = [&](QPDFObjectHandle dest) {
        if (dest.isName() || dest.isString()) {
            dest = names.resolveNamedDest(dest);
            if (dest.isDictionary())
                dest = dest.getKey("/D");
        }
        return dest;
    };
    for (int i = 0; i < annotations.getArrayNItems(); ++i) {
        QPDFObjectHandle annotation = annotations.getArrayItem(i);
        if (!annotation.isDictionary())
            continue;
        QPDFObjectHandle dest = annotation.getKey("/Dest");
        if (dest.isName() || dest.isString())
            annotation.replaceKey("/Dest", explicitDest(dest));
        QPDFObjectHandle action = annotation.getKey("/A");
        if (action.isDictionary() && action.getKey("/S").isName() && action.getKey("/S").getName() == "/GoTo") {
            QPDFObjectHandle d = action.getKey("/D");
            if (d.isName() || d.isString())
                action.replaceKey("/D", explicitDest(d));
        }
    }
}

// The annotations of a page, as qpdf can copy them: every dictionary, whether
// or not a form field leads to it (a widget outside any field is copied as
// the annotation it is).
QPDFObjectHandle SoundAnnotations(QPDFObjectHandle annotations)
{
    QPDFObjectHandle kept = QPDFObjectHandle::newArray();
    for (int i = 0; i < annotations.getArrayNItems(); ++i) {
        QPDFObjectHandle annotation = annotations.getArrayItem(i);
        if (annotation.isDictionary())
            kept.appendItem(annotation);
    }
    return kept;
}

// qpdf can throw part way through copying annotations out of a damaged file,
// and the document it was copying into can then not even be destroyed
// safely. So a page's annotations are first copied into a scratch document,
// and into the target only when that worked. A scratch document that failed
// is kept, never destroyed, until the engine ends.
bool AnnotationsCopy(QPDF& source, QPDFAcroFormDocumentHelper& sourceForms, QPDFObjectHandle annotations)
{
    auto scratch = std::make_unique<QPDF>();
    scratch->emptyPDF();
    try {
        QPDFAcroFormDocumentHelper scratchForms(*scratch);
        std::vector<QPDFObjectHandle> newAnnotations, newFields;
        std::set<QPDFObjGen> oldFields;
        scratchForms.transformAnnotations(annotations, newAnnotations, newFields, oldFields, QPDFMatrix(), &source,
                                          &sourceForms);
        return true;
    } catch (const std::exception&) {
        static auto* unsound = new std::vector<std::unique_ptr<QPDF>>;
        unsound->push_back(std::move(scratch));
        return false;
    }
}

// Form-level settings the source's fields rely on.
void MergeFormSettings(QPDF& target, QPDF& source)
{
    QPDFObjectHandle from = source.getRoot().getKey("/AcroForm");
    if (!from.isDictionary())
        return;
    QPDFObjectHandle to = target.getRoot().getKey("/AcroForm");
    if (!to.isDictionary())
        return; // no field was copied
    if (from.getKey("/NeedAppearances").isBool() && from.getKey("/NeedAppearances").getBoolValue())
        to.replaceKey("/NeedAppearances", QPDFObjectHandle::newBool(true));
    if (!to.hasKey("/DA") && from.getKey("/DA").isString())
        to.replaceKey("/DA", from.getKey("/DA").shallowCopy());
}

} // namespace

void InsertPages(QPDF& target, QPDFAcroFormDocumentHelper& targetForms, QPDF& source, std::size_t at)
{
    QPDFPageDocumentHelper targetPages(target);
    const std::vector<QPDFObjectHandle>& existing = target.getAllPages();
    std::size_t targetCount = existing.size();
    if (at > targetCount)
        throw std::runtime_error("no page " + std::to_string(at) + " to insert after");
    std::vector<QPDFObjectHandle> sourcePages = source.getAllPages();
    QPDFObjectHandle before = at < targetCount ? existing[at] : QPDFObjectHandle();

    QPDFObjectHandle oldLabels = target.getRoot().getKey("/PageLabels");
    std::size_t added = 0;
    try {
        // Annotations are copied once every page is in place: a link to a
        // later page copied with its own page would point at nothing.
        std::vector<QPDFObjectHandle> annotations;
        for (QPDFObjectHandle& page : sourcePages) {
            annotations.push_back(page.getKey("/Annots"));
            page.removeKey("/Annots");
        }
        for (QPDFObjectHandle& page : sourcePages) {
            if (before.isInitialized())
                targetPages.addPageAt(QPDFPageObjectHelper(page), true, QPDFPageObjectHelper(before));
            else
                targetPages.addPage(QPDFPageObjectHelper(page), false);
            ++added;
        }
        QPDFAcroFormDocumentHelper sourceForms(source);
        QPDFOutlineDocumentHelper sourceNames(source);
        for (std::size_t i = 0; i < sourcePages.size(); ++i) {
            if (!annotations[i].isArray())
                continue;
            QPDFObjectHandle kept = SoundAnnotations(annotations[i]);
            if (kept.getArrayNItems() == 0)
                continue;
            ResolveNamedLinks(sourceNames, kept);
            if (!AnnotationsCopy(source, sourceForms, kept))
                continue; // a damaged file's page keeps its content, not its broken annotations
            sourcePages[i].replaceKey("/Annots", kept);
            targetForms.fixCopiedAnnotations(target.getAllPages()[at + i], sourcePages[i], sourceForms);
        }
        MergeFormSettings(target, source);
        MergePageLabels(target, source, at, targetCount, sourcePages.size());
        AppendOutlines(target, source);
    } catch (...) {
        // Take back what was added, so that a failed insertion changes nothing.
        for (; added > 0; --added)
            targetPages.removePage(QPDFPageObjectHelper(target.getAllPages()[at + added - 1]));
        if (oldLabels.isInitialized() && !oldLabels.isNull())
            target.getRoot().replaceKey("/PageLabels", oldLabels);
        else
            target.getRoot().removeKey("/PageLabels");
        throw;
    }
}

void DeletePages(QPDF& pdf, std::size_t from, std::size_t to)
{
    std::vector<QPDFObjectHandle> pages = pdf.getAllPages();
    QPDFPageDocumentHelper helper(pdf);
    for (std::size_t i = from; i <= to && i < pages.size(); ++i)
        helper.removePage(QPDFPageObjectHelper(pages[i]));
}
