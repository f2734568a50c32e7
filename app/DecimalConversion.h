// The decimal conversion of a configuration value ("Port", "ClientID") to an integer.
#pragma once

#include <cstdint>

#include "framework/Text.h"

// Leading white space, one optional sign, then digits as long as they come; the rest is ignored.
// The value wraps around in 32 bits without any check (4294967297 gives 1); no digits give 0.
int32_t ConvertDecimal(const CText& text);
