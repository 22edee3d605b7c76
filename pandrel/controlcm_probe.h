#pragma once
// Test access to the private state of controlcm. Tests, the fuzz target and
// the benchmark use it; the host program never does.

#include "controlcm.h"
#include "controlcm_p.h"

struct controlcmProbe {
    using Private = controlcm::Private;
    static controlcm::Private& d(controlcm& c) { return *c.d; }
};
