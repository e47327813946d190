/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_REGISTRY_H
#define ZKXWIN32_REGISTRY_H

#include "types.h"

#endif
