#include "checks/file_digests.h"

#include "checksums/crc32.h"
#include "checksums/md5.h"
#include "platform/reader.h"

namespace ondrel {

std::uint32_t Crc32OfFile(const std::string& fileName) {
    platform::FileReader file = platform::FileReader::OpenOrThrow(fileName, platform::Share::Read);
    std::uint32_t crc = 0;
    const platform::RangeEnd end =
        file.ReadRange(0, file.Size(), [&](const unsigned char* data, std::size_t n) { crc = Crc32(crc, data, n); });
    if (end != platform::RangeEnd::Complete) throw platform::FileReadError();
    return crc;
}

ComputedDigest RangeDigest(const std::string& fileName, std::int32_t first, std::int32_t last,
                           const platform::FileBytes* kept) {
    Md5Stream digest;
    ComputedDigest result;
    platform::Result<platform::FileReader, platform::OpenFailure> opened =
        kept ? platform::Result<platform::FileReader, platform::OpenFailure>(platform::FileReader::Over(*kept))
             : platform::FileReader::Open(fileName, platform::Share::ReadWrite);
    if (opened) {
        platform::FileReader& file = *opened;
        // A negative position is refused and reading begins at byte 0.
        std::uint64_t start = first < 0 ? 0 : static_cast<std::uint64_t>(first);
        const std::uint32_t count = static_cast<std::uint32_t>(last) - static_cast<std::uint32_t>(first) + 1u;
        std::uint64_t want = count;
        if (count == 0) {  // the whole file, from byte 0
            start = 0;
            want = file.Size();
        }
        const platform::RangeEnd end = file.ReadRange(start, want, [&](const unsigned char* data, std::size_t n) {
            digest.Update(data, n);
        });
        // A range not read in full counts as no bytes at all.
        if (end != platform::RangeEnd::Complete) digest = Md5Stream();
        else if (file.file().Identity() == file.file().IdentityAtOpen()) result.readFrom = file.file().IdentityAtOpen();
    } else {
        platform::ThrowIfExhausted(opened.failure());
    }
    result.text = DigestText(digest.Finish());
    return result;
}

}  // namespace ondrel
