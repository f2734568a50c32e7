// The read seam that both platforms' read-only files ask before each raw read.
#include "framework/ReadOnlyFile.h"

namespace {
unsigned long readsUntilFailure = 0; // 0: no read is made to fail
unsigned long injectedError = 0;
} // namespace

void ReadOnlyFile::FailNthRead(unsigned long k, unsigned long error) noexcept {
    readsUntilFailure = k;
    injectedError = error;
}

bool ReadOnlyFile::SeamFailsRead(unsigned long& error) noexcept {
    if (readsUntilFailure == 0 || --readsUntilFailure != 0) return false;
    error = injectedError;
    return true;
}
