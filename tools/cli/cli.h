#pragma once
// The ondrel command line; ondrel-check is the same with "check" put first.
namespace ondrel::tool {
int RunOndrel(int argc, char** argv, bool checkAlias);
}
