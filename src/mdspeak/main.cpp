// mdspeak: reads Markdown aloud through mdspeak-service, showing the words as they are spoken.
#include <cstdio>

#include "command.h"
#include "options.h"

int main(int argc, char** argv) {
  auto outcome = mdspeak::client::parse_options(argc, argv);
  if (!outcome.options) {
    std::fputs(outcome.out.c_str(), stdout);
    std::fputs(outcome.err.c_str(), stderr);
    return outcome.exit_code;
  }
  return mdspeak::client::run(*outcome.options, argc > 0 ? argv[0] : "mdspeak");
}
