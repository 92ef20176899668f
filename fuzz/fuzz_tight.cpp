// libFuzzer target: Tight rectangles (input layout in fuzz_decoder.h).
#include "fuzz_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return qv_fuzz::run_decoder_input(decode_tight_rect, data, size);
}
