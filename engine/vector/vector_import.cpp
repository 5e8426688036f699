#include "vector/vector_import.h"

std::shared_ptr<QPDF> OpenVectorKind(const std::string& path, const std::string& bytes)
{
    if (IsSvg(bytes))
        return ReadSvg(bytes, path);
    if (IsPostScript(bytes))
        return ReadPostScript(bytes);
    if (IsXps(bytes))
        return ReadXps(path);
    return nullptr;
}
