/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_THREAD_H
#define ZKXWIN32_THREAD_H

#include "types.h"

#endif
