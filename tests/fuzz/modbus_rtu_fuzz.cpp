// Modbus RTU framing and reading of any bytes (see framing_fuzz.h for what must hold).
#include "tests/fuzz/framing_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return checkFraming(data, size, FrameRule::ModbusRtu);
}
