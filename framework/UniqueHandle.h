// The move-only owner behind every kind of handle the program holds. A traits type names the
// kind: its handle type, its empty value and how it is released. No platform header is needed
// here, so platform-free code can hold an owner too.
#pragma once

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() noexcept : handle_(Traits::Empty()) {}
    explicit UniqueHandle(Type handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    Type get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != Traits::Empty(); }

    // Hands the handle over to the caller, who releases it from now on.
    Type release() noexcept {
        Type handle = handle_;
        handle_ = Traits::Empty();
        return handle;
    }

    void reset(Type handle = Traits::Empty()) noexcept {
        // Handing in the held handle again must not close it under the owner.
        if (handle_ != Traits::Empty() && handle_ != handle) Traits::Close(handle_);
        // Only now: closing a window calls back into its object, which lets go of this owner's
        // handle (release) while it is being closed.
        handle_ = handle;
    }

private:
    Type handle_;
};
