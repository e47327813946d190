// What the layer's own thread start and end tell the loader.
#ifndef ZKXWIN32_LOADER_INTERNAL_H
#define ZKXWIN32_LOADER_INTERNAL_H

namespace zkx::win32 {

// A thread begins: DLL_THREAD_ATTACH for every entry it has not told yet.
void thread_check();
// A thread ends: DLL_THREAD_DETACH for every entry it told, latest first.
void thread_end();

}  // namespace zkx::win32

#endif
