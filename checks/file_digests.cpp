#include "checks/file_digests.h"

#include "checksums/crc32.h"
#include "platform/reader.h"

namespace ondrel {

std::uint32_t Crc32OfFile(const std::string& fileName) {
    platform::FileReader file = platform::FileReader::OpenOrThrow(fileName, platform::Share::Read);
    std::uint32_t crc = 0xFFFFFFFFu;
    const platform::RangeEnd end = file.ReadRange(
        0, file.Size(), [&](const unsigned char* data, std::size_t n) { crc = Crc32Update(crc, data, n); });
    if (end != platform::RangeEnd::Complete) throw platform::FileReadError();
    return ~crc;
}

void Md5OfFile(const std::string& fileName, Md5Digest& digest) {
    Md5Context context;
    Md5Init(context);
    bool whole = false;
    if (platform::FileReader file = platform::FileReader::Open(fileName, platform::Share::ReadWrite)) {
        // Chunks are at most FileReader::kChunk bytes: one update each.
        whole = file.ReadRange(0, file.Size(), [&](const unsigned char* data, std::size_t n) {
                    Md5Update(context, data, static_cast<std::uint32_t>(n));
                }) == platform::RangeEnd::Complete;
    }
    // A file not read in full counts as no bytes, never as the part read.
    if (!whole) Md5Init(context);
    Md5Final(context, digest);
}

}  // namespace ondrel
