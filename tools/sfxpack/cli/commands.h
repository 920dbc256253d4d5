// The subcommands main.cpp dispatches to.  Each takes the arguments after
// its name, parses its own options and returns the exit status.
#ifndef SFXPACK_CLI_COMMANDS_H
#define SFXPACK_CLI_COMMANDS_H

#include <string>
#include <vector>

namespace sfxpack {

int runCreate(const std::vector<std::string>& args);
int runStub(const std::vector<std::string>& args);
int runList(const std::vector<std::string>& args);
int runVerify(const std::vector<std::string>& args);
int runExtract(const std::vector<std::string>& args);
// sfxpack --version: the program's version and its launcher image's digest.
int runVersion();

}  // namespace sfxpack

#endif  // SFXPACK_CLI_COMMANDS_H
