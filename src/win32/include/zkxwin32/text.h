/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_TEXT_H
#define ZKXWIN32_TEXT_H

#include "types.h"

#endif
