// The framework's exception classes and the routines that raise them.
#include "framework/Exceptions.h"

#include <new>

IMPLEMENT_RUNTIME_CLASS(CException, CObject)
IMPLEMENT_RUNTIME_CLASS(CFileException, CException)
IMPLEMENT_RUNTIME_CLASS(CNotSupportedException, CException)
IMPLEMENT_RUNTIME_CLASS(CResourceException, CException)
IMPLEMENT_RUNTIME_CLASS(CMemoryException, CException)

void CException::Delete() noexcept {
    if (autoDelete_) delete this;
}

CNotSupportedException* CNotSupportedException::Shared() noexcept {
    static CNotSupportedException instance;
    return &instance;
}

CResourceException* CResourceException::Shared() noexcept {
    static CResourceException instance;
    return &instance;
}

CMemoryException* CMemoryException::Shared() noexcept {
    // Shared, because it is raised exactly when nothing more can be allocated.
    static CMemoryException instance;
    return &instance;
}

void ThrowMemoryException() { throw CMemoryException::Shared(); }
void ThrowNotSupportedException() { throw CNotSupportedException::Shared(); }
void ThrowResourceException() { throw CResourceException::Shared(); }

void ThrowFileException(int cause, long osError, const CText& fileName) {
    CFileException* e = new (std::nothrow) CFileException(cause, osError, fileName);
    if (e == nullptr) ThrowMemoryException();
    throw e; // caught as CException* or as CFileException*
}
