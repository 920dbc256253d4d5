// The subcommands main.cpp dispatches to.  Each takes the arguments after
// its name, parses its own options and the common ones into `global`, and
// returns the exit status.
#ifndef SFXPACK_CLI_COMMANDS_H
#define SFXPACK_CLI_COMMANDS_H

#include <string>
#include <vector>

#include "cli/command_line.h"

namespace sfxpack {

int runCreate(GlobalOptions& global, const std::vector<std::string>& args);
int runStub(GlobalOptions& global, const std::vector<std::string>& args);
int runList(GlobalOptions& global, const std::vector<std::string>& args);
int runVerify(GlobalOptions& global, const std::vector<std::string>& args);
int runExtract(GlobalOptions& global, const std::vector<std::string>& args);
// sfxpack --version: the program's version and its launcher image's digest.
int runVersion();

}  // namespace sfxpack

#endif  // SFXPACK_CLI_COMMANDS_H
