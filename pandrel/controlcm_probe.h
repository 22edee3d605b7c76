#pragma once
// Test access to the private state of the engine behind a controlcm (or of an
// engine of its own). Tests, the fuzz target and the benchmark use it; the
// host program never does.

#include "controlcm.h"
#include "engine_p.h"

struct controlcmProbe {
    using Private = pandrel::Engine::Private;
    static Private& d(pandrel::Engine& e) { return *e.d; }
    static Private& d(controlcm& c) { return *c.engine_->d; }
    static pandrel::Engine& engine(controlcm& c) { return *c.engine_; }
};
