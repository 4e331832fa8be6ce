#include "checksums/md5.h"
#include "platform/file_view.h"

namespace ondrel {

void Md5OfFile(const std::string& fileName, Md5Digest& digest) noexcept {
    Md5Context context;
    Md5Init(context);
    {
        const platform::FileView view = platform::FileView::MapWhole(fileName);
        // One update in a 32-bit process; beyond 4 GiB, updates of 1 GiB.
        const unsigned char* p = view.Data();
        for (std::uint64_t left = view ? view.Size() : 0; left > 0;) {
            const std::uint32_t piece = left > 0x40000000u ? 0x40000000u : static_cast<std::uint32_t>(left);
            Md5Update(context, p, piece);
            p += piece;
            left -= piece;
        }
    }  // the view, the mapping and the file are released here
    Md5Final(context, digest);
}

}  // namespace ondrel
