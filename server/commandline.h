#pragma once

// The quorvale-server command line: serving, and the operator's account, token and Notion
// file commands.

#include <iosfwd>
#include <string>
#include <vector>

namespace quorvale::server {

// Runs one command (the arguments without the program name); answers the exit status:
// 0 on success, 1 when the command failed, 2 for a usage error.
int runCommandLine(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err);

} // namespace quorvale::server
