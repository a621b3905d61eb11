// Command line of tarvex-sim.
#ifndef TARVEX_SIM_ARGS_H_
#define TARVEX_SIM_ARGS_H_

#include <string>
#include <vector>

#include "responder.h"

namespace tarvexsim {

struct Config {
    std::string dir;           // where com<n> links are published
    std::vector<int> ports;    // one device each, all with the same options
    std::string serial;        // an existing serial port to serve instead of pseudo-terminals
    std::string log_path;      // empty: no log
    std::string account_path;  // the random device's account; empty: none
    int draws = 0;             // > 0: print the random device's first draws and exit
    bool help = false;
    Options options;
};

// Parses the arguments after the program name. False with a message on a bad command line.
bool ParseArgs(const std::vector<std::string>& args, Config* config, std::string* error);

// The --help text.
std::string Usage();

}  // namespace tarvexsim

#endif  // TARVEX_SIM_ARGS_H_
