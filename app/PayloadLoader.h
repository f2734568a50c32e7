// Loading the file to send into one text string, read as text.
#pragma once

#include "framework/Text.h"

enum class PayloadLoad {
    loaded,     // payload holds the whole file, as text
    notOpened,  // missing, a bad name, a directory or a device
    tooLarge,   // longer than a 32-bit length can describe, or more than memory can hold
    readFailed, // there, but it could not be opened (held, denied) or a read failed before the
                // end: readError holds the system's code
};

// The frame carries the payload length in 32 bits: nothing longer can be sent.
constexpr unsigned long long kLargestPayload = 0xFFFFFFFFull;

// Reads fileName as text into payload (replacing what it held). On tooLarge and readFailed the
// payload is left empty, its memory released; readError is 0 unless the result is readFailed.
PayloadLoad LoadPayload(const CText& fileName, CText& payload, unsigned long& readError, size_t blockSize = 0);
