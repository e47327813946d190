#include "../demo/poll_demo.h"
#include "demo_steps.h"

namespace zkx::tool {

int demo_pollers() { return run_poll_demo(); }

}  // namespace zkx::tool
