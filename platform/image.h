#pragma once
// PE images: the section table and resource data, as the rules see them.
//
// On Windows these are the platform's services: the image-help service maps
// the image for its section table, and the module loader maps it as a data
// file for its resources. Elsewhere the PE/COFF reader (platform/pe) gives
// the same answers from positioned reads of the file.
//
// A failure of the process's own resources throws ResourcesExhausted; any
// other failure is an answer of nothing.
//
// kept: the bytes of the whole file, read before by the caller. Our reader
// takes them instead of reading the file again; the Windows services read
// the file themselves and do not.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/pe/pe_reader.h"
#include "platform/reader.h"

namespace ondrel::platform {

// The section table of the image, read and released before this returns;
// nothing when the file is missing or no PE image. Headers that do not lie
// wholly inside the file are left out (the table is then incomplete).
std::optional<pe::SectionTable> LoadSectionHeaders(const std::string& fileName, const FileBytes* kept = nullptr);

// The section table of an image and the file opened for reading its
// sections' bytes (others may read and write it meanwhile). The reader is
// opened only when a complete table was read; it is invalid when the file
// cannot then be opened. On Windows the image-help service reads the table
// and releases the image before the file is opened; elsewhere one open of
// the file serves both.
struct SectionImage {
    std::optional<pe::SectionTable> table;
    FileReader reader;
};
SectionImage OpenSectionImage(const std::string& fileName, const FileBytes* kept = nullptr);

// A resource type or name as handed to the lookup: an integer identifier,
// or an 8-bit text (which the lookup converts: "#" and decimal digits is an
// identifier; any other text is upper-cased).
using ResourceArgument = pe::NumberOrName<std::string>;

// Receives the bytes of a resource, in one piece or several.
using ResourceSink = std::function<void(const void* data, std::size_t count)>;

// The languages the resource lookup of VisitResourceData prefers, on the
// calling thread, when a resource has no data in the neutral language (see
// pe::NeutralLanguageChoice). On Windows the module loader's lookup tries
// the thread's locale, the user's and the system's: these are read now.
// Elsewhere our reader takes English (United States) for all three.
pe::LanguageDefaults ResourceLookupLanguages();

// Looks the resource up in the file mapped as a data module and hands its
// data to the sink; false, and nothing handed over, when the file is no
// image, holds no such resource or its data cannot be reached. The module
// and the data are released before this returns.
bool VisitResourceData(const std::string& fileName, const ResourceArgument& name, const ResourceArgument& type,
                       const ResourceSink& sink, const FileBytes* kept = nullptr);

}  // namespace ondrel::platform
