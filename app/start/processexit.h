#pragma once
// The end of the process. The unload step ends the program at once: no
// further event handler runs. The final step is a replaceable hook so that
// tests record the call instead of losing their process; callers therefore
// do nothing after endProcess() returns.

#include <functional>

namespace app {

using ExitHook = std::function<void(int code)>;

// Installs the hook (an empty one restores the default, an immediate _exit).
void setExitHook(ExitHook hook);

// Runs the hook. In production it does not return.
void endProcess(int code);

}  // namespace app
