// Reading a list the command was given, whole.
#include "tools/manifest/text_file.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/file.h"
#include "platform/prefault.h"
#include "platform/command_services.h"

namespace ondrel::tool {

platform::Result<std::string, platform::Reason> ReadText(const std::string& name, const std::string& what) {
    using platform::Reason;
    if (name == "-") {
        std::stringstream buffer;
        buffer << std::cin.rdbuf();
        if (std::cin.bad()) return Reason{"standard input cannot be read"};
        return std::move(buffer).str();
    }
    if (platform::IsFolder(name)) return Reason{"a folder, not a " + what};
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        platform::Result<platform::File, platform::OpenFailure> f = platform::File::Open(name, platform::Share::ReadWrite);
        return Reason{f ? "it cannot be opened" : platform::OpenFailureText(f.failure())};
    }
    // Read straight into the text, which is as large as the file from the
    // start: a list of many files is not copied as it grows.
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(name, error);
    std::string text;
    if (!error) {
        text.reserve(static_cast<std::size_t>(size));
        platform::PrefaultForWriting(text.data(), text.capacity());
    }
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return Reason{"it cannot be read"};
    return text;
}

}  // namespace ondrel::tool
