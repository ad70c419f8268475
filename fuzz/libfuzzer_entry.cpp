// libFuzzer's entry into one fuzz target, chosen when the binary is built (FUZZ_ENTRY).
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return FUZZ_ENTRY(data, size);
}
