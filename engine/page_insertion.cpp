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
// two documents has any. Pages appended at the end of a target whose labels
// are one flat /Nums array (as this function writes them) add their entries
// to it; otherwise the array is built anew from the number tree.
void MergePageLabels(QPDF& target, QPDF& source, std::size_t at, std::size_t targetCount,
                     std::size_t sourceCount)
{
    QPDFPageLabelDocumentHelper targetLabels(target), sourceLabels(source);
    if (!targetLabels.hasPageLabels() && !sourceLabels.hasPageLabels())
        return;
    std::vector<QPDFObjectHandle> nums, fromSource;
    QPDFObjectHandle current = target.getRoot().getKey("/PageLabels");
    QPDFObjectHandle flat = current.isDictionary() && !current.hasKey("/Kids") ? current.getKey("/Nums")
                                                                                : QPDFObjectHandle();
    std::size_t flatCount = flat.isArray() ? static_cast<std::size_t>(flat.getArrayNItems()) : 0;
    QPDFObjectHandle lastKey = flatCount >= 2 ? flat.getArrayItem(int(flatCount) - 2) : QPDFObjectHandle();
    bool append = at == targetCount && targetLabels.hasPageLabels() && flatCount >= 2 && flatCount % 2 == 0 &&
                  lastKey.isInteger() && lastKey.getIntValue() >= 0 &&
                  static_cast<unsigned long long>(lastKey.getIntValue()) < at &&
                  flat.getArrayItem(0).isInteger() && flat.getArrayItem(0).getIntValue() == 0;
    if (append)
        nums = flat.getArrayAsVector(); // the target's entries stand as they are
    else if (at > 0)
        AppendLabels(targetLabels, 0, at - 1, 0, nums);
    AppendLabels(sourceLabels, 0, sourceCount - 1, at, fromSource);
    for (std::size_t i = 0; i < fromSource.size(); ++i) {
        QPDFObjectHandle entry = fromSource[i];
        // Label dictionaries come from the other file: copy them over.
        if (i % 2 == 1 && sourceLabels.hasPageLabels())
            entry = target.copyForeignObject(source.makeIndirectObject(entry));
        nums.push_back(entry);
    }
    if (!append && at < targetCount)
        AppendLabels(targetLabels, at, targetCount - 1, at + sourceCount, nums);
    // A new dictionary and array: a failed insertion puts the old ones back.
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

// True when the document's form lists fields: widgets are then copied by
// qpdf's form copier, which renames fields that clash.
bool HasListedFields(QPDF& pdf)
{
    QPDFObjectHandle form = pdf.getRoot().getKey("/AcroForm");
    if (!form.isDictionary())
        return false;
    QPDFObjectHandle fields = form.getKey("/Fields");
    return fields.isArray() && fields.getArrayNItems() > 0;
}

bool HasWidget(QPDFObjectHandle annotations)
{
    for (int i = 0; i < annotations.getArrayNItems(); ++i)
        if (annotations.getArrayItem(i).getKey("/Subtype").isNameAndEquals("/Widget"))
            return true;
    return false;
}

// qpdf can throw part way through copying annotations out of a damaged file,
// and the document it was copying into can then not even be destroyed
// safely. So a page's fields are first copied into a scratch document,
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

// Copies the annotations of pages that hold no field, all in one copy, onto
// their pages' copies (target pages at + index): plain objects, whose page
// references lead to the copied pages since those are in place already.
void CopyPlainAnnotations(QPDF& target, QPDF& source, std::size_t at,
                          const std::vector<std::pair<std::size_t, QPDFObjectHandle>>& plain)
{
    if (plain.empty())
        return;
    std::vector<QPDFObjectHandle> arrays;
    for (const auto& [index, annotations] : plain)
        arrays.push_back(annotations);
    QPDFObjectHandle copied = target.copyForeignObject(source.makeIndirectObject(QPDFObjectHandle::newArray(arrays)));
    const std::vector<QPDFObjectHandle>& pages = target.getAllPages();
    for (std::size_t k = 0; k < plain.size(); ++k) {
        QPDFObjectHandle page = pages[at + plain[k].first];
        page.replaceKey("/Annots", copied.getArrayItem(int(k)).shallowCopy());
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
        // Pages whose annotations hold a widget of the source's fields go
        // through qpdf's form copier, one by one; the others' annotations are
        // copied as they are, in one copy.
        QPDFOutlineDocumentHelper sourceOutlines(source);
        std::unique_ptr<QPDFAcroFormDocumentHelper> sourceForms;
        bool fields = HasListedFields(source);
        std::vector<std::pair<std::size_t, QPDFObjectHandle>> plain;
        for (std::size_t i = 0; i < sourcePages.size(); ++i) {
            if (!annotations[i].isArray())
                continue;
            QPDFObjectHandle kept = SoundAnnotations(annotations[i]);
            if (kept.getArrayNItems() == 0)
                continue;
            ResolveNamedLinks(sourceOutlines, kept);
            if (!fields || !HasWidget(kept)) {
                plain.emplace_back(i, kept);
                continue;
            }
            if (sourceForms == nullptr)
                sourceForms = std::make_unique<QPDFAcroFormDocumentHelper>(source);
            if (!AnnotationsCopy(source, *sourceForms, kept))
                continue; // a damaged file's page keeps its content, not its broken annotations
            sourcePages[i].replaceKey("/Annots", kept);
            targetForms.fixCopiedAnnotations(target.getAllPages()[at + i], sourcePages[i], *sourceForms);
        }
        CopyPlainAnnotations(target, source, at, plain);
        MergeFormSettings(target, source);
        MergePageLabels(target, source, at, targetCount, sourcePages.size());
        AppendOutlines(target, source, sourceOutlines);
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
