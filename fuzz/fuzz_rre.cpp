// libFuzzer target: RRE rectangles (input layout in fuzz_decoder.h).
#include "fuzz_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return qv_fuzz::run_decoder_input(decode_rre_rect, data, size);
}
