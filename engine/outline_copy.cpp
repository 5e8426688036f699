#include "outline_copy.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFOutlineObjectHelper.hh>

namespace {

// Deeper outlines than this are cut: a hostile file must not exhaust the stack.
constexpr int MaxDepth = 64;

struct OutlineCopier {
    QPDF& target;
    QPDF& source;

    // A direct value stays direct in the copy: an object of its own for each
    // bookmark's destination would cost its number, offset and cross-reference
    // entry in the output.
    QPDFObjectHandle Copy(QPDFObjectHandle value)
    {
        if (value.isIndirect())
            return target.copyForeignObject(value);
        return target.copyForeignObject(source.makeIndirectObject(value)).shallowCopy();
    }

    // The new item's destination or action.
    void CopyTarget(QPDFOutlineObjectHelper& item, QPDFObjectHandle& copy)
    {
        QPDFObjectHandle from = item.getObjectHandle();
        QPDFObjectHandle action = from.getKey("/A");
        if (action.isDictionary() && !(action.getKey("/S").isName() && action.getKey("/S").getName() == "/GoTo")) {
            copy.replaceKey("/A", Copy(action));
            return;
        }
        QPDFObjectHandle dest = item.getDest();
        if (dest.isDictionary())
            dest = dest.getKey("/D");
        if (dest.isArray() && dest.getArrayNItems() > 0)
            copy.replaceKey("/Dest", Copy(dest));
    }

    // Copies kids into new items appended under newParent, after previous
    // (none: they become its first); returns how many of the new items are
    // visible when their parent is open.
    int CopyKids(std::vector<QPDFOutlineObjectHelper> kids, QPDFObjectHandle newParent,
                 QPDFObjectHandle previous, int depth)
    {
        int visible = 0;
        for (QPDFOutlineObjectHelper& kid : kids) {
            QPDFObjectHandle from = kid.getObjectHandle();
            QPDFObjectHandle copy = target.makeIndirectObject(QPDFObjectHandle::newDictionary());
            copy.replaceKey("/Title", QPDFObjectHandle::newUnicodeString(kid.getTitle()));
            for (const char* key : {"/C", "/F"}) {
                QPDFObjectHandle value = from.getKey(key);
                if (value.isArray() || value.isInteger())
                    copy.replaceKey(key, value.isArray() ? Copy(value) : value.shallowCopy());
            }
            CopyTarget(kid, copy);
            copy.replaceKey("/Parent", newParent);
            Link(newParent, previous, copy);
            previous = copy;
            ++visible;

            if (depth + 1 < MaxDepth) {
                int below = CopyKids(kid.getKids(), copy, QPDFObjectHandle(), depth + 1);
                if (below > 0) {
                    bool open = kid.getCount() > 0;
                    copy.replaceKey("/Count", QPDFObjectHandle::newInteger(open ? below : -below));
                    if (open)
                        visible += below;
                }
            }
        }
        return visible;
    }

    static void Link(QPDFObjectHandle parent, QPDFObjectHandle previous, QPDFObjectHandle item)
    {
        if (previous.isInitialized()) {
            previous.replaceKey("/Next", item);
            item.replaceKey("/Prev", previous);
        } else {
            parent.replaceKey("/First", item);
        }
        parent.replaceKey("/Last", item);
    }
};

} // namespace

void AppendOutlines(QPDF& target, QPDF& source, QPDFOutlineDocumentHelper& sourceOutlines)
{
    if (!sourceOutlines.hasOutlines())
        return;
    QPDFObjectHandle root = target.getRoot();
    QPDFObjectHandle outlines = root.getKey("/Outlines");
    if (!outlines.isDictionary()) {
        outlines = target.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Outlines >>"));
        root.replaceKey("/Outlines", outlines);
    }

    QPDFObjectHandle last = outlines.getKey("/Last");
    OutlineCopier copier{target, source};
    int visible = copier.CopyKids(sourceOutlines.getTopLevelOutlines(), outlines,
                                  last.isDictionary() ? last : QPDFObjectHandle(), 0);
    QPDFObjectHandle count = outlines.getKey("/Count");
    long long before = count.isInteger() && count.getIntValue() > 0 ? count.getIntValue() : 0;
    if (visible > 0)
        outlines.replaceKey("/Count", QPDFObjectHandle::newInteger(before + visible));
}
