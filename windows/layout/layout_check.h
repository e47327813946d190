// Compile-time checks of the records' 32-bit layout.  Callers and other
// processes see these records byte for byte (records embedded in the
// caller's memory, handed out as pointers, or passed as arrays), so a moved
// field is an incompatible DLL even when every source still compiles.
//
// One file per family in this folder; a family whose sources have not been
// written yet simply has no file.  The files hold nothing but these checks.
#ifndef ZKX_LAYOUT_CHECK_H
#define ZKX_LAYOUT_CHECK_H

#include <cstddef>

#if !defined(_WIN32) || defined(_WIN64)
#error "the layout checks describe the 32-bit Windows build"
#endif

#define ZKX_CHECK_SIZE(type, bytes) \
    static_assert(sizeof(type) == (bytes), #type " must be " #bytes " bytes")

#define ZKX_CHECK_FIELD(type, field, offset) \
    static_assert(offsetof(type, field) == (offset), #type "." #field " must be at offset " #offset)

#define ZKX_CHECK_FIELD_SIZE(type, field, bytes)         \
    static_assert(sizeof(static_cast<type*>(nullptr)->field) == (bytes), \
                  #type "." #field " must be " #bytes " bytes")

#endif
