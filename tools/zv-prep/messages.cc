#include "messages.h"

#include <cstdio>

namespace zvprep {

std::string printable(const std::string& name) {
    std::string text;
    for (unsigned char c : name) {
        if (c >= 0x20 && c != 0x7f && c != '\\') {
            text += static_cast<char>(c);
        } else if (c == '\\') {
            text += "\\\\";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    return text;
}

void report(const std::string& name, const std::string& reason) {
    std::fprintf(stderr, "zv-prep: %s: %s\n", printable(name).c_str(), reason.c_str());
}

}  // namespace zvprep
