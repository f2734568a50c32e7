// The root of the framework's classes: a run-time class query that names a class and its base.
#pragma once

struct RuntimeClass {
    const char* className;
    const RuntimeClass* base; // null for the root

    bool IsDerivedFrom(const RuntimeClass* other) const noexcept {
        for (const RuntimeClass* c = this; c != nullptr; c = c->base) {
            if (c == other) return true;
        }
        return false;
    }
};

class CObject {
public:
    static const RuntimeClass runtimeClass;
    virtual const RuntimeClass* GetRuntimeClass() const noexcept { return &runtimeClass; }
    virtual ~CObject() = default;

    bool IsKindOf(const RuntimeClass* cls) const noexcept { return GetRuntimeClass()->IsDerivedFrom(cls); }

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

inline const RuntimeClass CObject::runtimeClass = {"CObject", nullptr};

// Inside a class: declares its run-time class. Beside it, in one .cpp: IMPLEMENT_RUNTIME_CLASS.
#define DECLARE_RUNTIME_CLASS(Class)                                         \
public:                                                                      \
    static const RuntimeClass runtimeClass;                                  \
    const RuntimeClass* GetRuntimeClass() const noexcept override { return &Class::runtimeClass; }

#define IMPLEMENT_RUNTIME_CLASS(Class, Base) \
    const RuntimeClass Class::runtimeClass = {#Class, &Base::runtimeClass};
