// The program's text string: a counted run of 8-bit ANSI characters that always keeps a
// terminating NUL. Copies share one buffer until one of them is changed (copy on write), so a
// payload handed from the dialog to the worker exists once in memory.
#pragma once

#include <cstddef>
#include <cstdint>

class CText {
public:
    CText() noexcept;
    CText(const char* text);                // copies up to the first NUL; null gives the empty text
    CText(const char* data, size_t length); // copies exactly length bytes (NULs included)
    CText(const CText& other) noexcept;
    CText(CText&& other) noexcept;
    CText& operator=(const CText& other) noexcept;
    CText& operator=(CText&& other) noexcept;
    ~CText();

    size_t Length() const noexcept;
    bool IsEmpty() const noexcept { return Length() == 0; }
    const char* Data() const noexcept; // never null, always NUL-terminated
    char operator[](size_t index) const noexcept { return Data()[index]; }

    // Appends up to the first NUL of text.
    CText& Append(const char* text);
    CText& Append(const char* data, size_t length);
    CText& Append(const CText& other);
    CText& Append(char c);
    CText& operator+=(const CText& other) { return Append(other); }
    CText& operator+=(const char* text) { return Append(text); }
    CText& operator+=(char c) { return Append(c); }

    // Makes room for at least capacity characters without changing the text; later appends up to
    // that length do not reallocate. Throws CMemoryException when the room cannot be had.
    void Reserve(size_t capacity);
    size_t Capacity() const noexcept;

    // Direct writing: returns a private buffer of at least minLength characters holding the text;
    // ReleaseBuffer(n) then sets the length to n and writes the terminating NUL.
    char* GetBuffer(size_t minLength);
    void ReleaseBuffer(size_t newLength);

    void Truncate(size_t newLength); // keeps the first newLength characters
    void Clear() noexcept;

    CText Left(size_t count) const;
    CText Mid(size_t first, size_t count) const;
    CText Mid(size_t first) const;
    CText Right(size_t count) const;

    // Upper-cases the whole text with the platform's ANSI rules.
    void MakeUpper();

    bool operator==(const CText& other) const noexcept;
    bool operator!=(const CText& other) const noexcept { return !(*this == other); }
    bool operator==(const char* text) const noexcept;
    bool operator!=(const char* text) const noexcept { return !(*this == text); }

    bool SharesBufferWith(const CText& other) const noexcept { return buffer_ == other.buffer_; }

    static size_t MaxLength() noexcept;

    struct Buffer; // shared by the copies of one text

private:
    Buffer* buffer_;

    void MakeUnique(size_t minCapacity);
    static Buffer* Allocate(size_t capacity);
    static void Release(Buffer* buffer) noexcept;
};

CText operator+(const CText& left, const CText& right);
CText operator+(const CText& left, const char* right);
CText operator+(const char* left, const CText& right);
