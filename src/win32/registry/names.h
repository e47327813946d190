// Key and value names: how they compare, how a subkey path splits into
// names, and how a key name becomes the name of its directory in the store.
//
// Names compare ignoring the case of the ASCII letters only.  Folding
// other bytes would depend on the code page of the process, and two
// processes with different code pages must still agree on which directory
// holds a key.
#ifndef ZKXWIN32_REGISTRY_NAMES_H
#define ZKXWIN32_REGISTRY_NAMES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "zkxwin32/types.h"

namespace zkx::win32::reg {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxValueBytes = size_t(1) << 20;
constexpr size_t kMaxKeyDepth = 512;

inline char fold_char(char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; }

std::string fold(std::string_view name);
bool names_equal(std::string_view a, std::string_view b);

// Splits a subkey path such as "Software\Velko\ZKW\" into its key names.
// A null or empty path gives no names.  Trailing and doubled backslashes are
// tolerated as the Win32 registry tolerates them; a leading backslash gives
// ERROR_BAD_PATHNAME, a name longer than 255 characters or a path deeper
// than 512 keys ERROR_INVALID_PARAMETER.  Returns 0 or that code.
LONG split_key_path(const char* path, std::vector<std::string>* names);

// The directory name of a key: the folded name with the bytes that a file
// name cannot hold (or that would hide it, or clash with the store's own
// dot files) written as %XX.  An encoding longer than a file name may be is
// cut and ends in "~" and a 64-bit hash of the folded name; "~" is always
// escaped in the direct form, so the two forms never meet.
std::string encode_key_name(std::string_view name);

// True when encode_key_name had to cut and hash: only then can two names
// share a directory, and the display name stored inside decides.
bool is_hashed_dir_name(std::string_view dir_name);

}  // namespace zkx::win32::reg

#endif
