// ondrel-check FILE CHECKLIST: the same as "ondrel check FILE CHECKLIST".
#include "tools/cli/cli.h"

int main(int argc, char** argv) { return ondrel::tool::RunOndrel(argc, argv, true); }
