// Read by LeakSanitizer in the sanitizer and fuzz builds (ignored otherwise).
// - Fontconfig keeps the font sets it caches for the life of the process and
//   refers to them by offsets rather than pointers, so the leak checker sees
//   them as lost; they are found and cached once, not lost per document.
// - x265, which libheif's HEIC encoder uses (the tests make HEIC files with
//   it), keeps per-process tables it never frees.
// - dav1d, libheif's AV1 decoder, loses a small block on some damaged AVIF
//   streams (a known fault of the decoder, reported to libheif), allocated
//   in its own threads where nothing of the engine can free it.
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:libx265.so\n"
           "leak:libdav1d.so\n";
}
