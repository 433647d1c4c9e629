#include "server/commandline.h"

#include <csignal>
#include <iostream>
#include <sys/stat.h>

int main(int argc, char **argv)
{
    // Everything the server creates is private unless it says otherwise.
    ::umask(077);
    // A client that hangs up must not end the server through a write to its socket.
    std::signal(SIGPIPE, SIG_IGN);
    return quorvale::server::runCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                            std::cout, std::cerr);
}
