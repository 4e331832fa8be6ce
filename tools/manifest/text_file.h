#pragma once
// Reading a list the command was given (a manifest, a catalogue) whole:
// a file by name, or standard input for "-".
#include <string>

namespace ondrel::tool {

// Reads the text of the list; answers why it cannot be read, or the empty
// text when it was read. what names the kind of list ("manifest",
// "catalogue") for a folder given instead of one.
std::string ReadText(const std::string& name, std::string& text, const std::string& what);

}  // namespace ondrel::tool
