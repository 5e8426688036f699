#include "document_table.h"

#include "full_path.h"

#include <qpdf/QPDF.hh>
#include <stdexcept>

PathKey::PathKey(const std::string& path)
{
    if (!FullPath(text, path.c_str()))
        text = path;
}

Document* DocumentTable::Find(const PathKey& key)
{
    auto found = documents_.find(key);
    return found == documents_.end() ? nullptr : &found->second;
}

Document& DocumentTable::Require(const PathKey& key)
{
    Document* document = Find(key);
    if (document == nullptr)
        throw std::runtime_error("no document is open from this path");
    return *document;
}

void DocumentTable::Add(const PathKey& key, Document document)
{
    documents_[key] = std::move(document);
}

void DocumentTable::Clear()
{
    documents_.clear();
}

std::vector<Document> DocumentTable::Take(const PathKey& key)
{
    std::vector<Document> taken;
    auto found = documents_.find(key);
    if (found != documents_.end()) {
        taken.push_back(std::move(found->second));
        documents_.erase(found);
    }
    return taken;
}

std::vector<Document> DocumentTable::TakeAll()
{
    std::vector<Document> taken;
    for (auto& [key, document] : documents_)
        taken.push_back(std::move(document));
    documents_.clear();
    return taken;
}
