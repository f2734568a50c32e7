// The shipped program's answer at the start-up staging seam: nothing is staged. Kept out of
// parvolet_win so that no environment of a user's can reach the test build's staging.
#include "framework/StartupStaging.h"

StartupStaging StageStartupConditions() noexcept { return {}; }
