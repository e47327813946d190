/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_TIME_H
#define ZKXWIN32_TIME_H

#include "types.h"

#endif
