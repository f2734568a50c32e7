// The copy-on-write text string. The reference count is atomic because a worker thread holds a
// copy of the dialog's payload while the dialog's thread may drop its own.
#include "framework/Text.h"

#include "framework/Exceptions.h"
#include "framework/Platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

struct CText::Buffer {
    std::atomic<long> references;
    size_t length;
    size_t capacity; // characters, not counting the terminating NUL
    char data[1];
};

namespace {
// The empty text's buffer is static and never counted or freed.
CText::Buffer emptyBuffer = {{1}, 0, 0, {0}};
} // namespace

static CText::Buffer* EmptyBuffer() noexcept { return &emptyBuffer; }

size_t CText::MaxLength() noexcept {
    // Leaves room for the header and the NUL, and keeps lengths within what a signed 32-bit
    // size can describe on the 32-bit target.
    size_t limit = static_cast<size_t>(-1) / 2 - 64;
    return limit;
}

CText::Buffer* CText::Allocate(size_t capacity) {
    if (capacity > MaxLength()) ThrowMemoryException();
    void* memory = std::malloc(offsetof(Buffer, data) + capacity + 1);
    if (memory == nullptr) ThrowMemoryException();
    Buffer* buffer = static_cast<Buffer*>(memory);
    new (&buffer->references) std::atomic<long>(1);
    buffer->length = 0;
    buffer->capacity = capacity;
    buffer->data[0] = '\0';
    return buffer;
}

void CText::Release(Buffer* buffer) noexcept {
    if (buffer == EmptyBuffer()) return;
    if (buffer->references.fetch_sub(1, std::memory_order_acq_rel) == 1) std::free(buffer);
}

CText::CText() noexcept : buffer_(EmptyBuffer()) {}

CText::CText(const char* text) : CText() {
    if (text != nullptr) Append(text, std::strlen(text));
}

CText::CText(const char* data, size_t length) : CText() { Append(data, length); }

CText::CText(const CText& other) noexcept : buffer_(other.buffer_) {
    if (buffer_ != EmptyBuffer()) buffer_->references.fetch_add(1, std::memory_order_relaxed);
}

CText::CText(CText&& other) noexcept : buffer_(other.buffer_) { other.buffer_ = EmptyBuffer(); }

CText& CText::operator=(const CText& other) noexcept {
    if (buffer_ != other.buffer_) {
        Buffer* old = buffer_;
        buffer_ = other.buffer_;
        if (buffer_ != EmptyBuffer()) buffer_->references.fetch_add(1, std::memory_order_relaxed);
        Release(old);
    }
    return *this;
}

CText& CText::operator=(CText&& other) noexcept {
    if (this != &other) {
        Release(buffer_);
        buffer_ = other.buffer_;
        other.buffer_ = EmptyBuffer();
    }
    return *this;
}

CText::~CText() { Release(buffer_); }

size_t CText::Length() const noexcept { return buffer_->length; }
const char* CText::Data() const noexcept { return buffer_->data; }
size_t CText::Capacity() const noexcept { return buffer_->capacity; }

// Makes buffer_ a buffer of our own with room for at least minCapacity characters. Growth is
// geometric (one and a half times), so appending chunk after chunk is linear overall.
void CText::MakeUnique(size_t minCapacity) {
    bool shared = buffer_ == EmptyBuffer() || buffer_->references.load(std::memory_order_acquire) != 1;
    if (!shared && buffer_->capacity >= minCapacity) return;

    size_t capacity = minCapacity;
    if (!shared || buffer_->length > 0) {
        size_t current = buffer_->capacity;
        size_t grown = current + current / 2;
        if (grown > MaxLength()) grown = MaxLength();
        if (grown > capacity && minCapacity > current) capacity = grown;
    }
    if (capacity > MaxLength()) ThrowMemoryException();

    if (!shared) {
        void* memory = std::realloc(buffer_, offsetof(Buffer, data) + capacity + 1);
        if (memory == nullptr) ThrowMemoryException();
        buffer_ = static_cast<Buffer*>(memory);
        buffer_->capacity = capacity;
        return;
    }
    Buffer* fresh = Allocate(capacity);
    std::memcpy(fresh->data, buffer_->data, buffer_->length + 1);
    fresh->length = buffer_->length;
    Release(buffer_);
    buffer_ = fresh;
}

CText& CText::Append(const char* text) {
    if (text == nullptr) return *this;
    return Append(text, std::strlen(text));
}

CText& CText::Append(const char* data, size_t length) {
    if (length == 0) return *this;
    size_t old = buffer_->length;
    if (length > MaxLength() - old) ThrowMemoryException();
    // data may point into our own buffer: remember it as an offset across a reallocation.
    bool inside = data >= buffer_->data && data < buffer_->data + old;
    size_t offset = inside ? static_cast<size_t>(data - buffer_->data) : 0;
    MakeUnique(old + length);
    if (inside) data = buffer_->data + offset;
    std::memmove(buffer_->data + old, data, length);
    buffer_->length = old + length;
    buffer_->data[buffer_->length] = '\0';
    return *this;
}

CText& CText::Append(const CText& other) {
    if (other.IsEmpty()) return *this;
    if (IsEmpty() && buffer_ == EmptyBuffer()) {
        *this = other;
        return *this;
    }
    CText keep(other); // other may be *this
    return Append(keep.Data(), keep.Length());
}

CText& CText::Append(char c) { return Append(&c, 1); }

void CText::Reserve(size_t capacity) {
    if (capacity > MaxLength()) ThrowMemoryException();
    if (capacity <= buffer_->capacity && buffer_ != EmptyBuffer() &&
        buffer_->references.load(std::memory_order_acquire) == 1)
        return;
    size_t want = capacity < buffer_->length ? buffer_->length : capacity;
    bool shared = buffer_ == EmptyBuffer() || buffer_->references.load(std::memory_order_acquire) != 1;
    if (shared) {
        Buffer* fresh = Allocate(want);
        std::memcpy(fresh->data, buffer_->data, buffer_->length + 1);
        fresh->length = buffer_->length;
        Release(buffer_);
        buffer_ = fresh;
        return;
    }
    void* memory = std::realloc(buffer_, offsetof(Buffer, data) + want + 1);
    if (memory == nullptr) ThrowMemoryException();
    buffer_ = static_cast<Buffer*>(memory);
    buffer_->capacity = want;
}

char* CText::GetBuffer(size_t minLength) {
    size_t want = minLength < buffer_->length ? buffer_->length : minLength;
    bool shared = buffer_ == EmptyBuffer() || buffer_->references.load(std::memory_order_acquire) != 1;
    if (shared || buffer_->capacity < want) Reserve(want);
    return buffer_->data;
}

void CText::ReleaseBuffer(size_t newLength) {
    if (buffer_ == EmptyBuffer()) return;
    if (newLength > buffer_->capacity) newLength = buffer_->capacity;
    buffer_->length = newLength;
    buffer_->data[newLength] = '\0';
}

void CText::Truncate(size_t newLength) {
    if (newLength >= buffer_->length) return;
    if (newLength == 0) {
        Clear();
        return;
    }
    if (buffer_->references.load(std::memory_order_acquire) != 1) {
        *this = CText(buffer_->data, newLength);
        return;
    }
    buffer_->length = newLength;
    buffer_->data[newLength] = '\0';
}

void CText::Clear() noexcept {
    Release(buffer_);
    buffer_ = EmptyBuffer();
}

CText CText::Left(size_t count) const {
    if (count >= Length()) return *this;
    return CText(Data(), count);
}

CText CText::Mid(size_t first, size_t count) const {
    size_t length = Length();
    if (first >= length) return CText();
    if (count > length - first) count = length - first;
    if (first == 0 && count == length) return *this;
    return CText(Data() + first, count);
}

CText CText::Mid(size_t first) const { return Mid(first, static_cast<size_t>(-1)); }

CText CText::Right(size_t count) const {
    size_t length = Length();
    if (count >= length) return *this;
    return CText(Data() + length - count, count);
}

void CText::MakeUpper() {
    if (IsEmpty()) return;
    size_t length = Length();
    char* data = GetBuffer(length);
    platform::UpperCaseInPlace(data, length);
    ReleaseBuffer(length);
}

bool CText::operator==(const CText& other) const noexcept {
    if (buffer_ == other.buffer_) return true;
    return Length() == other.Length() && std::memcmp(Data(), other.Data(), Length()) == 0;
}

bool CText::operator==(const char* text) const noexcept {
    if (text == nullptr) return IsEmpty();
    size_t length = std::strlen(text);
    return Length() == length && std::memcmp(Data(), text, length) == 0;
}

CText operator+(const CText& left, const CText& right) {
    CText result(left);
    result.Append(right);
    return result;
}

CText operator+(const CText& left, const char* right) {
    CText result(left);
    result.Append(right);
    return result;
}

CText operator+(const char* left, const CText& right) {
    CText result(left);
    result.Append(right);
    return result;
}
