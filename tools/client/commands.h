// The subcommands of quorvel-client.
#pragma once

namespace zvc {

// Parses the command line, runs the subcommand and returns the exit status.
int run_client(int argc, const char* const* argv);

}  // namespace zvc
