// Escape codec of the simulator's command line and log.
#ifndef TARVEX_SIM_ESCAPE_H_
#define TARVEX_SIM_ESCAPE_H_

#include <string>

namespace tarvexsim {

// C-style escaping for logs and the command line: \r \n \t \0 \\ and \xHH.
std::string Escape(const std::string& bytes);
// Unescape: false, with *bytes untouched, at a malformed escape.
bool Unescape(const std::string& text, std::string* bytes);

}  // namespace tarvexsim

#endif  // TARVEX_SIM_ESCAPE_H_
