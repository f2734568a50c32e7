// Loading the file to send into one text string, read as text.
#pragma once

#include "framework/Text.h"

enum class PayloadLoad {
    loaded,    // payload holds every delivered byte (a read error ends it early, silently)
    notOpened, // missing, unreadable, a directory or a device
    tooLarge,  // longer than a 32-bit length can describe, or more than memory can hold
};

// The frame carries the payload length in 32 bits: nothing longer can be sent.
constexpr unsigned long long kLargestPayload = 0xFFFFFFFFull;

// Reads fileName as text into payload (replacing what it held). On tooLarge the payload is
// left empty, its memory released.
PayloadLoad LoadPayload(const CText& fileName, CText& payload, size_t blockSize = 0);
