#include "PiDigits.h"

const uint32_t kPiDigits[kPiDigitWords] = {
#include "PiTable.inc"
};
