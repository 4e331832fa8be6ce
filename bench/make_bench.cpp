// ondrel make on hostile images of few bytes and many resources
// (tests/support/pe_writer.h, HostileImage): 316 resource types of 316 names
// each, 99,856 resources, in three shapes: numbered names in 5.5 KB; one
// 65,535-character name shared by every entry (137 KB); numbered names
// behind 65,535 sections (2.6 MB). Every resource gives a candidate entry
// that must be told from the others before the engine checks it; --rules all
// writes them all. Timed in turns in the process, median of the runs: the
// list made with --rules all and with --rules resources, as make makes it
// (the file read once by a FileBatch, the rules reading its kept bytes), and
// for the small image also with the rules reading the file themselves (as
// for a file too large to keep).
// Usage: make_bench [runs] [--image DIR]   (default 3; DIR: keep the images there)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pe_writer.h"
#include "tools/batch/in_order.h"
#include "tools/rules/make_list.h"

namespace {

using namespace ondrel::tool;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::size_t Entries(const std::string& list) { return list.empty() ? 0 : 1 + std::count(list.begin(), list.end(), ','); }

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--image" && i + 1 < argc) folder = argv[++i];
        else runs = std::max(1, std::atoi(argv[i]));
    }
    const bool kept = !folder.empty();
    if (!kept) folder = std::filesystem::temp_directory_path().string();
    struct Image {
        std::string name, what, bytes;
    };
    const std::vector<Image> images = {
        {"ondrel-hostile-numbered.dll", "numbered names", ondrel::testing::HostileImage(316, 316, {}, 1)},
        {"ondrel-hostile-one-name.dll", "one long name", ondrel::testing::HostileImage(316, 316, std::u16string(65535, u'N'), 1)},
        {"ondrel-hostile-sections.dll", "65,535 sections", ondrel::testing::HostileImage(316, 316, {}, 65535)},
    };
    struct Way {
        std::string name;
        RuleChoice rules;
        bool batch;
    };
    const std::vector<Way> all = {{"all", *ParseRuleSets({"all"}), true},
                                  {"resources", *ParseRuleSets({"resources"}), true},
                                  {"all", *ParseRuleSets({"all"}), false}};
    for (std::size_t i = 0; i < images.size(); ++i) {
        const std::string image = (std::filesystem::path(folder) / images[i].name).string();
        std::ofstream(image, std::ios::binary).write(images[i].bytes.data(), static_cast<std::streamsize>(images[i].bytes.size()));
        std::printf("image %s (%s): %zu bytes, 99856 resources\n", images[i].name.c_str(), images[i].what.c_str(),
                    images[i].bytes.size());
        // The rules reading the file themselves only for the small image: on
        // the others each resource would cost reads of the whole table.
        const std::vector<Way> ways(all.begin(), all.begin() + (i == 0 ? 3 : 2));
        std::vector<std::vector<double>> times(ways.size());
        std::vector<MadeList> made(ways.size());
        for (int run = 0; run < runs; ++run) {
            for (std::size_t w = 0; w < ways.size(); ++w) {
                const auto start = Clock::now();
                if (ways[w].batch)
                    RunFilesInOrder<MadeList>(
                        1, 1, [&](std::size_t) { return ReadPlan{&image, NeedsOf(ways[w].rules)}; },
                        [&](std::size_t, const FileRead* read) { return MakeCheckList(image, ways[w].rules, read); },
                        [&](std::size_t, MadeList& m) { made[w] = std::move(m); }, [](std::size_t) {});
                else
                    made[w] = MakeCheckList(image, ways[w].rules);
                times[w].push_back(std::chrono::duration<double>(Clock::now() - start).count());
            }
        }
        for (std::size_t w = 0; w < ways.size(); ++w)
            std::printf("  make --rules %-10s %-24s %8.3f s (median of %d), %zu entries, %zu left out\n",
                        ways[w].name.c_str(), ways[w].batch ? "(as make reads)" : "(the rules read the file)",
                        Median(times[w]), runs, Entries(made[w].checkList), made[w].leftOut.size());
        if (!kept) std::filesystem::remove(image);
    }
    return 0;
}
