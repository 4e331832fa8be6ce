// Reading a list the command was given, whole.
#include "tools/text_file.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/file.h"
#include "tools/system.h"

namespace ondrel::tool {

std::string ReadText(const std::string& name, std::string& text, const std::string& what) {
    std::stringstream buffer;
    if (name == "-") {
        buffer << std::cin.rdbuf();
        text = buffer.str();
        return std::cin.bad() ? "standard input cannot be read" : "";
    }
    if (IsFolder(name)) return "a folder, not a " + what;
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        platform::Result<platform::File, platform::OpenFailure> f = platform::File::Open(name, platform::Share::ReadWrite);
        return f ? "it cannot be opened" : platform::OpenFailureText(f.failure());
    }
    buffer << in.rdbuf();
    if (in.bad()) return "it cannot be read";
    text = buffer.str();
    return {};
}

}  // namespace ondrel::tool
