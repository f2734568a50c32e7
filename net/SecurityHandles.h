// One move-only owner per kind of security handle the TLS layer holds: the credentials, the
// context, the server's certificate, its chain and a buffer Schannel allocated. Each releases its
// handle exactly once, on every way out.
#pragma once

#include "net/SecurityCalls.h"

#include <utility>

namespace security {

// Credentials and contexts are the same two-word record; both words at their invalid value is
// the empty handle (SecInvalidateHandle).
template <void (*Release)(SecHandle*)>
class UniqueSecHandle {
public:
    UniqueSecHandle() noexcept { SecInvalidateHandle(&handle_); }
    ~UniqueSecHandle() { reset(); }
    UniqueSecHandle(UniqueSecHandle&& other) noexcept : handle_(other.handle_) { SecInvalidateHandle(&other.handle_); }
    UniqueSecHandle& operator=(UniqueSecHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            SecInvalidateHandle(&other.handle_);
        }
        return *this;
    }
    UniqueSecHandle(const UniqueSecHandle&) = delete;
    UniqueSecHandle& operator=(const UniqueSecHandle&) = delete;

    bool valid() const noexcept { return SecIsValidHandle(&handle_); }
    SecHandle* get() noexcept { return &handle_; }
    // Where a call that makes the handle writes it; whatever was held is released first.
    SecHandle* receive() noexcept {
        reset();
        return &handle_;
    }
    void reset() noexcept {
        if (valid()) Release(&handle_);
        SecInvalidateHandle(&handle_);
    }

private:
    SecHandle handle_;
};

inline void ReleaseCredentials(SecHandle* handle) { FreeCredentials(handle); }
inline void ReleaseContext(SecHandle* handle) { DeleteContext(handle); }
using UniqueCredentials = UniqueSecHandle<&ReleaseCredentials>;
using UniqueContext = UniqueSecHandle<&ReleaseContext>;

// Pointer handles whose empty value is null.
template <typename Pointer, void (*Release)(Pointer)>
class UniquePointerHandle {
public:
    UniquePointerHandle() noexcept = default;
    explicit UniquePointerHandle(Pointer pointer) noexcept : pointer_(pointer) {}
    ~UniquePointerHandle() { reset(); }
    UniquePointerHandle(UniquePointerHandle&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    UniquePointerHandle& operator=(UniquePointerHandle&& other) noexcept {
        if (this != &other) {
            reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    UniquePointerHandle(const UniquePointerHandle&) = delete;
    UniquePointerHandle& operator=(const UniquePointerHandle&) = delete;

    Pointer get() const noexcept { return pointer_; }
    Pointer* receive() noexcept {
        reset();
        return &pointer_;
    }
    void reset() noexcept {
        if (pointer_ != nullptr) Release(pointer_);
        pointer_ = nullptr;
    }

private:
    Pointer pointer_ = nullptr;
};

using UniqueCertificate = UniquePointerHandle<PCCERT_CONTEXT, &FreeCertificate>;
using UniqueChain = UniquePointerHandle<PCCERT_CHAIN_CONTEXT, &FreeChain>;
using UniqueContextBuffer = UniquePointerHandle<void*, &FreeBuffer>;

} // namespace security
