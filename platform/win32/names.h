#pragma once
// What a Windows file name says before anything is opened.
#include <string>
#include <string_view>

namespace ondrel::platform {

// Whether the name leads to a device rather than to a file on a disk: the
// device namespace ("\\.\X", "\\?\X" other than a drive or UNC path), a
// pipe or mail slot (also on another machine: "\\server\pipe\..."), or a
// reserved DOS device name as its last component (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, CONIN$, CONOUT$, with any extension). Opening one may
// connect to it, so such names are refused unopened.
bool IsDeviceName(std::string_view name) noexcept;

// Directory part (up to and including the last "\" or ":") and name part
// of a file name, as the image-help service takes them.
struct SplitName {
    std::string directory;
    std::string name;
};
SplitName SplitImageName(const std::string& fileName);

}  // namespace ondrel::platform
