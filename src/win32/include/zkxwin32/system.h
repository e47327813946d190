/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_SYSTEM_H
#define ZKXWIN32_SYSTEM_H

#include "types.h"

#endif
