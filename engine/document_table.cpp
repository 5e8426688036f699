#include "document_table.h"

#include "commands/full_path.h"

#include <qpdf/QPDF.hh>
#include <stdexcept>

std::string DocumentTable::Key(const std::string& path)
{
    std::string key;
    return FullPath(key, path.c_str()) ? key : path;
}

Document* DocumentTable::Find(const std::string& path)
{
    auto found = documents_.find(Key(path));
    return found == documents_.end() ? nullptr : &found->second;
}

Document& DocumentTable::Require(const std::string& path)
{
    Document* document = Find(path);
    if (document == nullptr)
        throw std::runtime_error("no document is open from this path");
    return *document;
}

void DocumentTable::Add(const std::string& path, Document document)
{
    documents_[Key(path)] = std::move(document);
}

void DocumentTable::Remove(const std::string& path)
{
    documents_.erase(Key(path));
}

void DocumentTable::Clear()
{
    documents_.clear();
}

std::vector<Document> DocumentTable::Take(const std::string& path)
{
    std::vector<Document> taken;
    auto found = documents_.find(Key(path));
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
