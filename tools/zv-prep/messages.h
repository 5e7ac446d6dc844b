// The tool's diagnostics: one line "zv-prep: NAME: reason" each.
#ifndef ZV_PREP_MESSAGES_H
#define ZV_PREP_MESSAGES_H

#include <string>

namespace zvprep {

// `name` with its control characters written as escapes (\n, \t, \x1b ...),
// so that a file name can never break a message into two lines.
std::string printable(const std::string& name);

// Prints "zv-prep: NAME: reason" on standard error.
void report(const std::string& name, const std::string& reason);

}  // namespace zvprep

#endif  // ZV_PREP_MESSAGES_H
