// The stages of "zkx demo" that exercise one family each; they print their
// progress and return 0 or the first failing code.
#ifndef ZKX_TOOL_DEMO_STEPS_H
#define ZKX_TOOL_DEMO_STEPS_H

#include <string>

namespace zkx::tool {

// Three pollers at their own intervals, a broadcast poll, suspend, resume.
int demo_pollers();
// A heap shared by two processes; `dir` is the demo's temporary directory.
int demo_shared_heap(const std::string& dir);
// The second process of the heap stage (zkx demo --heap-peer).
int demo_heap_peer();

}  // namespace zkx::tool

#endif
