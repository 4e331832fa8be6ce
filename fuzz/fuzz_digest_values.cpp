// libFuzzer target: the values of the byte-range rules ENDMD5 and SIZEMD5,
// cut and parsed, then digested from a file of 100 bytes.
// Input: one byte choosing the rule (even: ENDMD5, odd: SIZEMD5), then the value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "checks/rules.h"
#include "checksums/md5.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/digests.h"

namespace {

using ondrel::fuzz::Require;

struct Fixture {
    ondrel::fuzz::ScratchDir scratch{"ondrel-fuzz-digest"};
    std::string path = scratch.File("file.bin");
    std::set<std::string> rangeDigests;  // every contiguous range, and no bytes
    Fixture() {
        std::string bytes(100, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37 + 11);
        std::ofstream(path, std::ios::binary) << bytes;
        for (std::size_t first = 0; first <= bytes.size(); ++first)
            for (std::size_t length = 0; first + length <= bytes.size(); ++length)
                rangeDigests.insert(ondrel::testing::DigestOfBytes(bytes.data() + first, length));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fixture;
    if (size == 0) return 0;
    const bool end = (data[0] & 1) == 0;
    const std::string value(reinterpret_cast<const char*>(data + 1), size - 1);
    ondrel::RuleTrace trace;
    const ondrel::RuleContext context{fixture.path, nullptr};
    const bool held = end ? ondrel::EndMd5Rule(context, value, trace) : ondrel::SizeMd5Rule(context, value, trace);
    Require(trace.text.has_value());
    const std::string& computed = *trace.text;
    // Either no digest (an invalid number) or the digest of a range of the file.
    Require(computed.empty() || fixture.rangeDigests.count(computed) == 1);
    // The expected text is always the end of the value.
    if (held) Require(value.size() >= computed.size() && value.compare(value.size() - computed.size(), computed.size(), computed) == 0);
    return 0;
}
