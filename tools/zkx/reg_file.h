// REGEDIT4 files: reading one into a list of changes (all checked before
// any is made), and writing a key tree out again.
#ifndef ZKX_TOOL_REG_FILE_H
#define ZKX_TOOL_REG_FILE_H

#include <string>
#include <vector>

#include "reg_key.h"

namespace zkx::tool {

struct RegChange {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
    Kind kind = kCreateKey;
    KeyPath key;
    RegValue value;  // kSetValue: all of it; kDeleteValue: the name
    int line = 0;    // where the file asked for it
};

// Parses the whole text.  On a fault: false, with "line N: what" in *error.
bool parse_reg_file(const std::string& text, std::vector<RegChange>* changes, std::string* error);

// Makes the changes in order, each key's values with one write of the key.
// First asks the store whether it will take every key of the file, so that
// a refusal it can foresee (no right to write, a damaged key) changes
// nothing; a failure it cannot (a full disk) stops at that key.
LSTATUS apply_reg_changes(const std::vector<RegChange>& changes, int* failed_line);

// The key and everything below it in REGEDIT4 form.
LSTATUS write_reg_file(const KeyPath& key, std::string* text);

}  // namespace zkx::tool

#endif
