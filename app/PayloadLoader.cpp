// The payload is read straight into its own buffer, sized once from the file's size (text
// translation only ever shortens), so a large file is neither copied nor reallocated.
#include "app/PayloadLoader.h"

#include "framework/Exceptions.h"
#include "framework/TextFileReader.h"

namespace {
// Room added when the file grew while it was read (or its size could not be told).
constexpr size_t kGrowthStep = 1u << 20;
} // namespace

PayloadLoad LoadPayload(const CText& fileName, CText& payload, unsigned long& readError, size_t blockSize) {
    payload.Clear();
    readError = 0;
    TextFileReader reader(blockSize == 0 ? TextFileReader::kBlockSize : blockSize);
    try {
        if (!reader.Open(fileName)) {
            readError = reader.OpenError();
            return readError != 0 ? PayloadLoad::readFailed : PayloadLoad::notOpened;
        }
        unsigned long long size = 0;
        if (!reader.QuerySize(size)) size = 0;
        if (size > kLargestPayload || size > CText::MaxLength()) {
            payload.Clear();
            return PayloadLoad::tooLarge;
        }
        payload.Reserve(static_cast<size_t>(size));
        for (;;) {
            size_t length = payload.Length();
            size_t capacity = payload.Capacity();
            if (length == capacity) {
                if (reader.AtEnd()) break;
                // The file is longer than it was when its size was taken.
                unsigned long long wanted = static_cast<unsigned long long>(capacity) + kGrowthStep;
                if (capacity / 2 > kGrowthStep) wanted = static_cast<unsigned long long>(capacity) + capacity / 2;
                if (wanted > kLargestPayload) wanted = kLargestPayload;
                if (wanted <= capacity || wanted > CText::MaxLength()) {
                    payload.Clear();
                    return PayloadLoad::tooLarge;
                }
                payload.GetBuffer(static_cast<size_t>(wanted));
                capacity = payload.Capacity();
            }
            char* buffer = payload.GetBuffer(capacity);
            size_t room = capacity - length;
            size_t got = reader.Read(buffer + length, room);
            payload.ReleaseBuffer(length + got);
            if (got < room) break;
        }
        // The data may have ended at a failed read rather than at the end: what was read before
        // it is not the file, and sending it would report a shortened file as delivered.
        readError = reader.ReadError();
        if (readError != 0) {
            payload.Clear();
            return PayloadLoad::readFailed;
        }
    } catch (CMemoryException* e) {
        e->Delete();
        payload.Clear();
        return PayloadLoad::tooLarge;
    }
    return PayloadLoad::loaded;
}
