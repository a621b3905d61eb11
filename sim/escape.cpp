#include "escape.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace tarvexsim {

std::string Escape(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                }
        }
    }
    return out;
}

bool Unescape(const std::string& text, std::string* bytes) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '0':
                out += '\0';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                if (i + 2 >= text.size())
                    return false;
                const std::string hex = text.substr(i + 1, 2);
                if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
                    return false;
                }
                out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    *bytes = out;
    return true;
}

}  // namespace tarvexsim
