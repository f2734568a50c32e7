// The status bar line of a long transfer: how much of the frame has been handed to the network.
// Our own formatting, so the line never depends on the C run-time's locale or printf.
#pragma once

#include "framework/Text.h"

#include <cstdint>

namespace progress_text {

// Whole percent of done out of total, rounded down, so 100 means every byte; 0 for a total of 0
// and 100 when done exceeds total.
unsigned PercentOf(uint64_t done, uint64_t total) noexcept;

// A byte count as people read it: "512 bytes", then one decimal in KB, MB or GB of 1024 steps
// ("10.0 MB"), rounded to the nearest tenth; a value that rounds up to 1024 moves to the next unit.
CText FormatSize(uint64_t bytes);

// The resource's format with "{percent}" and "{size}" filled in; every other character, and an
// unknown or unfinished placeholder, is copied as it stands.
CText FillProgressFormat(const CText& format, unsigned percent, uint64_t frameBytes);

} // namespace progress_text
