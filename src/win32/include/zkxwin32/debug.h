/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_DEBUG_H
#define ZKXWIN32_DEBUG_H

#include "types.h"

#endif
