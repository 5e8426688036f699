#include "images/tiff_memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

TiffMemory& Of(thandle_t handle)
{
    return *static_cast<TiffMemory*>(handle);
}

tmsize_t Read(thandle_t handle, void* buffer, tmsize_t size)
{
    TiffMemory& m = Of(handle);
    if (m.input == nullptr || size < 0 || m.at >= m.input->size())
        return 0;
    std::size_t n = std::min<std::size_t>(std::size_t(size), m.input->size() - m.at);
    std::memcpy(buffer, m.input->data() + m.at, n);
    m.at += n;
    return tmsize_t(n);
}

tmsize_t Write(thandle_t handle, void* buffer, tmsize_t size)
{
    TiffMemory& m = Of(handle);
    if (m.output == nullptr || size < 0)
        return 0;
    if (m.output->size() < m.at + std::size_t(size))
        m.output->resize(m.at + std::size_t(size));
    std::memcpy(m.output->data() + m.at, buffer, std::size_t(size));
    m.at += std::size_t(size);
    return size;
}

std::size_t Length(TiffMemory& m)
{
    return m.input ? m.input->size() : m.output->size();
}

toff_t Seek(thandle_t handle, toff_t offset, int whence)
{
    TiffMemory& m = Of(handle);
    toff_t base = whence == SEEK_CUR ? m.at : whence == SEEK_END ? Length(m) : 0;
    m.at = base + offset;
    return m.at;
}

int Close(thandle_t)
{
    return 0;
}

toff_t Size(thandle_t handle)
{
    return Length(Of(handle));
}

int Map(thandle_t handle, void** base, toff_t* size)
{
    TiffMemory& m = Of(handle);
    if (m.input == nullptr)
        return 0;
    *base = const_cast<char*>(m.input->data());
    *size = m.input->size();
    return 1;
}

void Unmap(thandle_t, void*, toff_t) {}

int OnError(TIFF*, void* user, const char* module, const char* format, va_list arguments)
{
    TiffMemory& m = *static_cast<TiffMemory*>(user);
    if (m.error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        m.error = text;
        (void)module;
    }
    return 1;
}

int OnWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

} // namespace

TIFF* OpenTiffMemory(TiffMemory& memory, const char* mode)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, &memory);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, &memory);
    TIFF* tiff = TIFFClientOpenExt("image", mode, &memory, Read, Write, Seek, Close, Size, Map, Unmap, options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr && memory.error.empty())
        memory.error = "not a readable TIFF file";
    return tiff;
}
