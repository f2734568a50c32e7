// The framework's exceptions. They are thrown as pointers and whoever catches one disposes of it
// with Delete(): an allocated exception frees itself, a shared instance ignores the call.
#pragma once

#include "framework/Object.h"
#include "framework/Text.h"

class CException : public CObject {
    DECLARE_RUNTIME_CLASS(CException)
public:
    // Frees the exception when it was allocated for the occasion; does nothing on a shared one.
    void Delete() noexcept;
    bool IsShared() const noexcept { return !autoDelete_; }

protected:
    explicit CException(bool autoDelete) noexcept : autoDelete_(autoDelete) {}

private:
    bool autoDelete_;
};

class CFileException : public CException {
    DECLARE_RUNTIME_CLASS(CFileException)
public:
    enum Cause { none = 0, genericException = 1 };

    CFileException(int cause, long osError, const CText& fileName) noexcept
        : CException(true), cause(cause), osError(osError), fileName(fileName) {}

    int cause;
    long osError;
    CText fileName;
};

class CNotSupportedException : public CException {
    DECLARE_RUNTIME_CLASS(CNotSupportedException)
public:
    static CNotSupportedException* Shared() noexcept;
private:
    CNotSupportedException() noexcept : CException(false) {}
};

class CResourceException : public CException {
    DECLARE_RUNTIME_CLASS(CResourceException)
public:
    static CResourceException* Shared() noexcept;
private:
    CResourceException() noexcept : CException(false) {}
};

class CMemoryException : public CException {
    DECLARE_RUNTIME_CLASS(CMemoryException)
public:
    static CMemoryException* Shared() noexcept;
private:
    CMemoryException() noexcept : CException(false) {}
};

// Each throws a pointer that the catcher hands to Delete().
[[noreturn]] void ThrowMemoryException();
[[noreturn]] void ThrowNotSupportedException();
[[noreturn]] void ThrowResourceException();
[[noreturn]] void ThrowFileException(int cause, long osError, const CText& fileName = CText());

// Runs body and, when it throws a framework exception, deletes it and returns false.
template <typename Body>
bool CatchFrameworkExceptions(Body&& body) {
    try {
        body();
        return true;
    } catch (CException* e) {
        e->Delete();
        return false;
    }
}
