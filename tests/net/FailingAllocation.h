// Makes the global allocation fail on demand, on the arming thread only, so that tests can reach
// the transport's out-of-memory paths (map nodes, list records) without exhausting the heap.
#pragma once

namespace allocation {
// From now on, the calling thread's next allocations fail (std::bad_alloc) after `successes`
// more have succeeded, until Restore.
void FailAfter(unsigned successes);
void Restore();
// Allocations refused since the last FailAfter.
unsigned Refused();

// Fails the calling thread's allocations for its lifetime.
class FailureScope {
public:
    explicit FailureScope(unsigned successes = 0) { FailAfter(successes); }
    ~FailureScope() { Restore(); }
    FailureScope(const FailureScope&) = delete;
    FailureScope& operator=(const FailureScope&) = delete;
};
} // namespace allocation
