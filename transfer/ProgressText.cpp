// Percent and size for the long-transfer status line, written digit by digit.
#include "transfer/ProgressText.h"

#include <cstring>

namespace progress_text {
namespace {

void AppendDecimal(CText& out, uint64_t value) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out.Append(digits[--count]);
}

} // namespace

unsigned PercentOf(uint64_t done, uint64_t total) noexcept {
    if (total == 0) return 0;
    if (done >= total) return 100;
    // Frames stay below 2^40 bytes here, so done * 100 cannot overflow; split anyway for any total.
    if (done <= UINT64_MAX / 100) return static_cast<unsigned>(done * 100 / total);
    return static_cast<unsigned>(done / (total / 100));
}

CText FormatSize(uint64_t bytes) {
    CText out;
    if (bytes < 1024) {
        AppendDecimal(out, bytes);
        out.Append(bytes == 1 ? " byte" : " bytes");
        return out;
    }
    static const char* const kUnits[] = {" KB", " MB", " GB", " TB"};
    const size_t lastUnit = sizeof kUnits / sizeof kUnits[0] - 1;
    size_t unit = 0;
    uint64_t scale = 1024;
    while (unit < lastUnit && bytes / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    // Tenths of the unit, rounded half up; computed from the quotient and remainder so that the
    // largest counts cannot overflow.
    uint64_t tenths = bytes / scale * 10 + ((bytes % scale) * 10 + scale / 2) / scale;
    if (tenths >= 10240 && unit < lastUnit) {
        ++unit;
        tenths = (tenths + 512) / 1024;
    }
    AppendDecimal(out, tenths / 10);
    out.Append('.');
    AppendDecimal(out, tenths % 10);
    out.Append(kUnits[unit]);
    return out;
}

CText FillProgressFormat(const CText& format, unsigned percent, uint64_t frameBytes) {
    static const char kPercent[] = "{percent}";
    static const char kSize[] = "{size}";
    CText out;
    const char* text = format.Data();
    const size_t length = format.Length();
    for (size_t i = 0; i < length;) {
        if (std::strncmp(text + i, kPercent, sizeof kPercent - 1) == 0) {
            AppendDecimal(out, percent);
            i += sizeof kPercent - 1;
        } else if (std::strncmp(text + i, kSize, sizeof kSize - 1) == 0) {
            out.Append(FormatSize(frameBytes));
            i += sizeof kSize - 1;
        } else {
            out.Append(text[i]);
            ++i;
        }
    }
    return out;
}

} // namespace progress_text
