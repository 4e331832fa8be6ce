// ondrel: check, make, inspect, verify.
#include "tools/cli/cli.h"

int main(int argc, char** argv) { return ondrel::tool::RunOndrel(argc, argv, false); }
