#pragma once
// Between a name as the rules take it (8-bit text of the ANSI code page) and
// a path of std::filesystem, on each system's side.
#include <filesystem>
#include <string>

namespace ondrel::platform {

std::filesystem::path PathOfAnsi(const std::string& name);
// The 8-bit name of a folder entry (without its folder); false when the
// code page lacks one of its characters.
bool AnsiNameOf(const std::filesystem::path& entry, std::string& name);

}  // namespace ondrel::platform
