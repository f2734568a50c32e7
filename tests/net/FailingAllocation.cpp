// Replaces the program's global operator new (the test executable links the run-time
// statically, so this definition serves every allocation of the process).
#include "tests/net/FailingAllocation.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<DWORD> armedThread{0}; // 0: nothing armed
std::atomic<unsigned> successesLeft{0};
std::atomic<unsigned> refused{0};
} // namespace

namespace allocation {
void FailAfter(unsigned successes) {
    successesLeft = successes;
    refused = 0;
    armedThread = GetCurrentThreadId();
}
void Restore() { armedThread = 0; }
unsigned Refused() { return refused; }
} // namespace allocation

void* operator new(std::size_t size) {
    if (armedThread != 0 && armedThread == GetCurrentThreadId()) {
        if (successesLeft == 0) {
            ++refused;
            throw std::bad_alloc();
        }
        --successesLeft;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
