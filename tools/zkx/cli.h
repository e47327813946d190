// What every zkx command shares: its entry in the command table, the
// argument cursor, and the two ways out of a command that went wrong.
#ifndef ZKX_TOOL_CLI_H
#define ZKX_TOOL_CLI_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZKPlatform.h"

namespace zkx::tool {

// Exit codes: 0 done, 1 the operation failed (or found a fault), 2 the
// command line was wrong.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Thrown by commands; main prints "zkx: <what>" on one line and exits.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& what) : std::runtime_error(what) {}
};
struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

// The words after the command name, consumed front to back.
class Args {
public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}
    bool empty() const { return pos_ >= words_.size(); }
    const std::string& peek() const { return words_.at(pos_); }
    // The next word; `what` names it in the error when there is none.
    std::string take(const char* what);
    // Takes the next word when it equals one of the option's spellings
    // (compared ignoring case, so /F and /f both work).
    bool take_flag(const char* name);
    // "--name VALUE" or "/name VALUE": the value, or false when absent.
    bool take_option(const char* name, std::string* value);
    // Refuses whatever is left.
    void finish() const;

private:
    std::vector<std::string> words_;
    size_t pos_ = 0;
};

struct Command {
    const char* name;
    const char* summary;  // one line for "zkx help"
    const char* usage;    // full text for "zkx help NAME"
    int (*run)(Args& args);
};

// Every command of the tool, in the order "zkx help" lists them.
const std::vector<const Command*>& commands();

// "file not found (error 2)": a readable name for the codes users meet.
std::string win32_error_text(DWORD code);

// Text that comes from outside the tool (object names, registry names and
// values, debug text, paths, the words of an error) in a form that is safe
// for a terminal and says exactly which bytes it holds: every byte outside
// printable ASCII as \xHH, and a backslash doubled wherever it would
// otherwise read as the start of such an escape.
std::string printable(const std::string& text);
// The same for text of several lines, whose line feeds stay.
std::string printable_lines(const std::string& text);

bool equals_ignoring_case(const std::string& a, const std::string& b);
// A decimal or 0x-prefixed number that fits 32 (or 64) bits; false otherwise.
bool parse_u32(const std::string& text, uint32_t* value);
bool parse_u64(const std::string& text, uint64_t* value);

}  // namespace zkx::tool

#endif
