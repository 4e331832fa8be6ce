// Replays a fuzz target's corpus in an ordinary build: every input that is
// kept in fuzz/corpus/TARGET (a crasher included, once committed) runs through
// the target's entry function. A failing check aborts the program, which
// fails the test.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(FuzzReplay, EveryCorpusInput) {
    // The corpus folder relative to the build tree, where the test runs.
    const std::filesystem::path corpus = ONDREL_REPLAY_CORPUS;
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus.string();
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(corpus))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    ASSERT_FALSE(inputs.empty()) << "no input in " << corpus.string();
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.filename().string());
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << "cannot read " << path.string();
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        EXPECT_EQ(LLVMFuzzerTestOneInput(data.data(), data.size()), 0);
    }
    std::cout << inputs.size() << " inputs replayed from " << corpus.filename().string() << "\n";
    RecordProperty("inputs", static_cast<int>(inputs.size()));
}
