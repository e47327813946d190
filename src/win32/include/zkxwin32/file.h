/* Placeholder: filled in by the subsystem that owns it. */
#ifndef ZKXWIN32_FILE_H
#define ZKXWIN32_FILE_H

#include "types.h"

#endif
