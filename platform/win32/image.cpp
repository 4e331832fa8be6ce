// Sections through the image-help service, resources through the module
// loader with the file mapped as a data file.
#include <windows.h>
#include <imagehlp.h>

#include <memory>

#include "platform/file.h"
#include "platform/reader.h"
#include "platform/image.h"
#include "platform/lock.h"
#include "platform/pe/pe_layout.h"
#include "platform/win32/handles.h"
#include "platform/win32/names.h"

namespace ondrel::platform {

namespace {

// The image-help service is single-threaded: overlapping calls take turns
// from ImageLoad to ImageUnload.
constinit Lock g_imageHelpLock;

struct ImageRelease {
    void operator()(LOADED_IMAGE* image) const noexcept { ImageUnload(image); }
};
using LoadedImage = std::unique_ptr<LOADED_IMAGE, ImageRelease>;

std::uint64_t MappedFileSize(HANDLE file) {
    LARGE_INTEGER size;
    if (file == nullptr || file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

// Whether every byte of [address, address + count) is committed, readable memory.
bool Readable(const void* address, std::size_t count) {
    auto at = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t end = at + count;
    if (end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) == 0) return false;
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        if (info.State != MEM_COMMIT || !(info.Protect & readable) || (info.Protect & PAGE_GUARD)) return false;
        at = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

// After a service failed to map the file: an exhausted process throws, any
// other failure is no image.
void ThrowIfExhaustedNow() { ThrowIfExhausted(OpenFailureOfError(GetLastError())); }

}  // namespace

std::optional<pe::SectionTable> LoadSectionHeaders(const std::string& fileName, const FileBytes*) {
    // The services open the file themselves: a device or pipe is not theirs to open.
    if (IsDeviceName(fileName)) return std::nullopt;
    const SplitName split = SplitImageName(fileName);
    LockHold hold(g_imageHelpLock);
    LoadedImage image(ImageLoad(split.name.c_str(), split.directory.c_str()));
    if (!image) {
        ThrowIfExhaustedNow();
        return std::nullopt;
    }
    // The service checks only the signatures; every header is checked here
    // to lie inside the mapped file before it is read.
    const auto* base = static_cast<const unsigned char*>(static_cast<const void*>(image->MappedAddress));
    const std::uint64_t size = MappedFileSize(image->hFile);
    const auto* nt = reinterpret_cast<const unsigned char*>(image->FileHeader);
    const auto* first = reinterpret_cast<const unsigned char*>(image->Sections);
    if (!base || nt < base || first < base) return std::nullopt;
    const std::uint64_t ntOffset = static_cast<std::uint64_t>(nt - base);
    if (ntOffset > size || size - ntOffset < pe::file_header::kSize) return std::nullopt;
    const std::uint64_t tableOffset = static_cast<std::uint64_t>(first - base);
    const std::uint64_t available = tableOffset <= size ? size - tableOffset : 0;
    return pe::DecodeSectionTable(pe::Le16(nt + pe::file_header::kNumberOfSections), first, available);
}

SectionImage OpenSectionImage(const std::string& fileName, const FileBytes* kept) {
    SectionImage image;
    image.table = LoadSectionHeaders(fileName);  // the image is released here
    if (!image.table || !image.table->complete()) return image;
    // The sections' bytes are ours to read: from what was kept, if anything.
    if (kept) {
        image.reader = FileReader::Over(*kept);
        return image;
    }
    Result<FileReader, OpenFailure> reader = FileReader::Open(fileName, Share::ReadWrite);
    if (reader) image.reader = std::move(*reader);
    else ThrowIfExhausted(reader.failure());
    return image;
}

pe::LanguageDefaults ResourceLookupLanguages() {
    pe::LanguageDefaults languages;
    languages.thread = LANGIDFROMLCID(GetThreadLocale());
    languages.user = LANGIDFROMLCID(GetUserDefaultLCID());
    languages.system = LANGIDFROMLCID(GetSystemDefaultLCID());
    return languages;
}

bool VisitResourceData(const std::string& fileName, const ResourceArgument& name, const ResourceArgument& type,
                       const ResourceSink& sink, const FileBytes*) {
    if (IsDeviceName(fileName)) return false;
    ModuleHandle module(LoadLibraryExA(fileName.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) {
        ThrowIfExhaustedNow();
        return false;
    }
    const char* nameArg = name.isId ? MAKEINTRESOURCEA(name.id) : name.name.c_str();
    const char* typeArg = type.isId ? MAKEINTRESOURCEA(type.id) : type.name.c_str();
    HRSRC found = FindResourceA(module.Get(), nameArg, typeArg);
    if (!found) return false;
    ResourceHandle data(LoadResource(module.Get(), found));
    if (!data) return false;
    const DWORD size = SizeofResource(module.Get(), found);
    const void* address = LockResource(data.Get());
    if (!address) return false;
    // A damaged directory can point the data anywhere: only bytes inside
    // the mapped file are digested, never memory beyond it.
    const auto moduleBits = reinterpret_cast<std::uintptr_t>(module.Get());
    if (moduleBits & 3) {
        const auto base = moduleBits & ~std::uintptr_t{3};
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        Result<FileReader, OpenFailure> file = FileReader::Open(fileName, Share::ReadWrite);
        if (!file) ThrowIfExhausted(file.failure());
        const std::uint64_t fileSize = file ? file->Size() : 0;
        if (at < base || at - base > fileSize || fileSize - (at - base) < size) {
            if (file || !Readable(address, size)) return false;
        }
    }
    if (!Readable(address, size)) return false;
    sink(address, size);
    return true;
}

}  // namespace ondrel::platform
