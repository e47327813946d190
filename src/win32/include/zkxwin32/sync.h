/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_SYNC_H
#define ZKXWIN32_SYNC_H

#include "types.h"

#endif
