#pragma once
// Reading a list the command was given (a manifest, a catalogue) whole:
// a file by name, or standard input for "-".
#include <string>

#include "platform/result.h"

namespace ondrel::tool {

// The text of the list, or why it cannot be read. what names the kind of
// list ("manifest", "catalogue") for a folder given instead of one.
platform::Result<std::string, platform::Reason> ReadText(const std::string& name, const std::string& what);

}  // namespace ondrel::tool
