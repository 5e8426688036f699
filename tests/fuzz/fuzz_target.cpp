// One libFuzzer target; FUZZ_CALL names the entry it drives.
#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FUZZ_CALL;
    return 0;
}
