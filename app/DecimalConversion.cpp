// Decimal conversion with 32-bit wrap-around, computed in unsigned arithmetic so that an
// over-long value wraps the same way on every compiler instead of being undefined.
#include "app/DecimalConversion.h"

int32_t ConvertDecimal(const CText& text) {
    const char* p = text.Data(); // NUL-terminated: a NUL ends the digits like any other byte
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (negative) value = 0u - value;
    // Before C++20 an out-of-range unsigned-to-signed conversion is implementation-defined:
    // map the upper half onto the negatives by hand.
    return value <= 0x7FFFFFFFu ? static_cast<int32_t>(value)
                                : -static_cast<int32_t>(~value) - 1;
}
