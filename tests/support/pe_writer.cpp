#include "tests/support/pe_writer.h"

#include <algorithm>
#include <map>

#include "platform/pe/pe_layout.h"
#include "tests/support/bytes.h"

namespace ondrel::testing {

namespace {

namespace rdir = pe::resource_directory;
namespace rent = pe::resource_entry;
namespace rdat = pe::resource_data;

std::size_t Align(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

bool KeyLess(const PeKey& a, const PeKey& b) {
    if (a.isId != b.isId) return !a.isId;  // named entries first
    if (a.isId) return a.id < b.id;
    return a.name < b.name;
}
bool KeyEqual(const PeKey& a, const PeKey& b) { return a.isId == b.isId && a.id == b.id && a.name == b.name; }

// A resource section of shared directories: `types` root entries all lead
// to one directory of `names` entries, all leading to one language
// directory with one data entry. With a name, every entry at both levels
// is that one name; otherwise the entries are the numbers 1, 2, ...
std::string SharedDirectories(std::uint32_t rva, std::size_t types, std::size_t names, const std::u16string& name) {
    const bool named = !name.empty();
    const std::size_t typeDir = rdir::kSize + types * rent::kSize;
    const std::size_t langDir = typeDir + rdir::kSize + names * rent::kSize;
    const std::size_t dataEntry = langDir + rdir::kSize + rent::kSize;
    const std::size_t text = dataEntry + pe::resource_data::kSize;
    const std::size_t data = text + (named ? 2 + 2 * name.size() : 0);
    std::string b(data + 4, '\0');
    auto directory = [&](std::size_t at, std::size_t count, std::size_t target, bool entriesNamed) {
        Put16(b, at + (entriesNamed ? rdir::kNumberOfNamedEntries : rdir::kNumberOfIdEntries), static_cast<std::uint32_t>(count));
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t e = at + rdir::kSize + i * rent::kSize;
            Put32(b, e + rent::kName, entriesNamed ? rent::kNameIsString | static_cast<std::uint32_t>(text)
                                                   : static_cast<std::uint32_t>(i + 1));
            Put32(b, e + rent::kTarget, static_cast<std::uint32_t>(target) | rent::kTargetIsDirectory);
        }
    };
    directory(0, types, typeDir, named);
    directory(typeDir, names, langDir, named);
    Put16(b, langDir + rdir::kNumberOfIdEntries, 1);
    Put32(b, langDir + rdir::kSize + rent::kName, 0x409);
    Put32(b, langDir + rdir::kSize + rent::kTarget, static_cast<std::uint32_t>(dataEntry));
    Put32(b, dataEntry + pe::resource_data::kOffsetToData, rva + static_cast<std::uint32_t>(data));
    Put32(b, dataEntry + pe::resource_data::kDataSize, 4);
    if (named) {
        Put16(b, text, static_cast<std::uint32_t>(name.size()));
        for (std::size_t i = 0; i < name.size(); ++i) Put16(b, text + 2 + 2 * i, name[i]);
    }
    b.replace(data, 4, "DATA");
    return b;
}

// The resource section's bytes for a given relative virtual address.
std::string ResourceSection(const std::vector<PeResource>& items, bool sort, std::uint32_t rva) {
    struct Lang { std::uint16_t id; std::size_t item; };
    struct Name { PeKey key; std::vector<Lang> langs; };
    struct Type { PeKey key; std::vector<Name> names; };
    std::vector<Type> types;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const PeResource& r = items[i];
        auto t = std::find_if(types.begin(), types.end(), [&](const Type& x) { return KeyEqual(x.key, r.type); });
        if (t == types.end()) t = types.insert(types.end(), Type{r.type, {}});
        auto n = std::find_if(t->names.begin(), t->names.end(), [&](const Name& x) { return KeyEqual(x.key, r.name); });
        if (n == t->names.end()) n = t->names.insert(t->names.end(), Name{r.name, {}});
        n->langs.push_back({r.language, i});
    }
    auto group = [&](auto& v) {  // named before identifiers; sorted when asked
        if (sort) std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return KeyLess(a.key, b.key); });
        else std::stable_partition(v.begin(), v.end(), [](const auto& a) { return !a.key.isId; });
    };
    group(types);
    for (Type& t : types) {
        group(t.names);
        for (Name& n : t.names)
            if (sort) std::stable_sort(n.langs.begin(), n.langs.end(), [](const Lang& a, const Lang& b) { return a.id < b.id; });
    }
    // Layout: directories, data entries, names, data.
    auto directorySize = [](std::size_t entries) { return rdir::kSize + rent::kSize * entries; };
    std::size_t at = directorySize(types.size());
    std::vector<std::size_t> typeDirs, nameDirs;
    for (const Type& t : types) {
        typeDirs.push_back(at);
        at += directorySize(t.names.size());
    }
    for (const Type& t : types)
        for (const Name& n : t.names) {
            nameDirs.push_back(at);
            at += directorySize(n.langs.size());
        }
    std::vector<std::size_t> dataEntries(items.size());
    for (std::size_t i = 0; i < items.size(); ++i, at += rdat::kSize) dataEntries[i] = at;
    std::map<std::u16string, std::size_t> strings;
    auto addString = [&](const PeKey& k) {
        if (!k.isId && !strings.count(k.name)) {
            strings[k.name] = at;
            at = Align(at + 2 + 2 * k.name.size(), 2);
        }
    };
    for (const Type& t : types) {
        addString(t.key);
        for (const Name& n : t.names) addString(n.key);
    }
    std::vector<std::size_t> blobs(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        at = Align(at, 8);
        blobs[i] = at;
        at += items[i].data.size();
    }
    std::string b(at, '\0');
    auto dir = [&](std::size_t offset, std::size_t named, std::size_t ids) {
        Put16(b, offset + rdir::kNumberOfNamedEntries, static_cast<std::uint32_t>(named));
        Put16(b, offset + rdir::kNumberOfIdEntries, static_cast<std::uint32_t>(ids));
    };
    auto entry = [&](std::size_t offset, const PeKey& k, std::uint32_t target) {
        Put32(b, offset + rent::kName,
              k.isId ? k.id : (rent::kNameIsString | static_cast<std::uint32_t>(strings.at(k.name))));
        Put32(b, offset + rent::kTarget, target);
    };
    auto entryAt = [](std::size_t directory, std::size_t index) {
        return directory + rdir::kSize + rent::kSize * index;
    };
    auto subdirectory = [](std::size_t offset) { return rent::kTargetIsDirectory | static_cast<std::uint32_t>(offset); };
    auto countNamed = [](const auto& v) {
        return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [](const auto& x) { return !x.key.isId; }));
    };
    dir(0, countNamed(types), types.size() - countNamed(types));
    std::size_t nameIndex = 0;
    for (std::size_t ti = 0; ti < types.size(); ++ti) {
        const Type& t = types[ti];
        entry(entryAt(0, ti), t.key, subdirectory(typeDirs[ti]));
        dir(typeDirs[ti], countNamed(t.names), t.names.size() - countNamed(t.names));
        for (std::size_t ni = 0; ni < t.names.size(); ++ni, ++nameIndex) {
            const Name& n = t.names[ni];
            std::size_t nd = nameDirs[nameIndex];
            entry(entryAt(typeDirs[ti], ni), n.key, subdirectory(nd));
            dir(nd, 0, n.langs.size());
            for (std::size_t li = 0; li < n.langs.size(); ++li)
                entry(entryAt(nd, li), PeKey::Id(n.langs[li].id), static_cast<std::uint32_t>(dataEntries[n.langs[li].item]));
        }
    }
    for (const auto& [name, offset] : strings) {
        Put16(b, offset, static_cast<std::uint32_t>(name.size()));
        for (std::size_t i = 0; i < name.size(); ++i) Put16(b, offset + 2 + 2 * i, name[i]);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        Put32(b, dataEntries[i] + rdat::kOffsetToData, rva + static_cast<std::uint32_t>(blobs[i]));
        Put32(b, dataEntries[i] + rdat::kDataSize, static_cast<std::uint32_t>(items[i].data.size()));
        b.replace(blobs[i], items[i].data.size(), items[i].data);
    }
    return b;
}

}  // namespace

PeImage::Built PeImage::Build() const {
    namespace fh = pe::file_header;
    namespace oh = pe::optional_header;
    namespace sh = pe::section_header;
    constexpr std::size_t kFileAlign = 0x200, kSectionAlign = 0x1000, kNt = pe::dos_header::kSize;
    const oh::Kind& kind = pe32plus ? oh::kPe32Plus : oh::kPe32;
    const std::size_t optionalSize = kind.size;
    std::vector<PeSection> all = sections;
    const bool hasResources = !resources.empty();
    if (hasResources) all.push_back({".rsrc", {}, {}, {}});
    Built out;
    out.optionalHeader = kNt + fh::kSize;
    out.sectionTable = out.optionalHeader + optionalSize;
    const std::size_t headers = Align(out.sectionTable + sh::kSize * all.size(), kFileAlign);

    // Addresses first: the resource section's bytes depend on its own.
    std::vector<std::uint32_t> rvas(all.size());
    std::uint32_t rva = kSectionAlign;
    for (std::size_t i = 0; i < all.size(); ++i) {
        rvas[i] = rva;
        if (hasResources && i + 1 == all.size()) all[i].data = ResourceSection(resources, sortResources, rva);
        rva += static_cast<std::uint32_t>(Align(std::max<std::size_t>(all[i].data.size(), 1), kSectionAlign));
    }

    std::string& b = out.bytes;
    b.assign(headers, '\0');
    b.replace(pe::dos_header::kMagic, 2, "MZ");
    Put32(b, pe::dos_header::kNewHeader, kNt);
    b.replace(kNt + fh::kSignature, fh::kSignatureSize, std::string("PE\0\0", 4));
    Put16(b, kNt + fh::kMachine, pe32plus ? 0x8664 : 0x14C);
    Put16(b, kNt + fh::kNumberOfSections, static_cast<std::uint32_t>(all.size()));
    Put16(b, kNt + fh::kSizeOfOptionalHeader, static_cast<std::uint32_t>(optionalSize));
    Put16(b, kNt + fh::kCharacteristics, pe32plus ? 0x2022 : 0x2102);
    const std::size_t o = out.optionalHeader;
    Put16(b, o + oh::kMagic, magic.value_or(pe32plus ? oh::kPe32PlusMagic : oh::kPe32Magic));
    Put32(b, o + kind.imageBase, 0x10000000);
    Put32(b, o + oh::kSectionAlignment, kSectionAlign);
    Put32(b, o + oh::kFileAlignment, kFileAlign);
    Put16(b, o + oh::kMajorOperatingSystemVersion, 4);
    Put16(b, o + oh::kMajorSubsystemVersion, 4);
    Put32(b, o + oh::kSizeOfImage, rva);
    Put32(b, o + oh::kSizeOfHeaders, static_cast<std::uint32_t>(headers));
    Put16(b, o + oh::kSubsystem, 2);
    const std::size_t resourceDirectory =
        o + kind.dataDirectories + oh::kResourceDirectory * oh::kDirectoryEntrySize;
    Put32(b, o + kind.numberOfRvaAndSizes, 16);

    for (std::size_t i = 0; i < all.size(); ++i) {
        const PeSection& s = all[i];
        const std::size_t at = b.size();
        b += s.data;
        b.resize(Align(b.size(), kFileAlign), '\0');
        const std::size_t h = out.sectionTable + sh::kSize * i;
        b.replace(h + sh::kName, std::min(sh::kNameSize, s.name.size()), s.name.substr(0, sh::kNameSize));
        Put32(b, h + sh::kVirtualSize, static_cast<std::uint32_t>(s.data.size()));
        Put32(b, h + sh::kVirtualAddress, rvas[i]);
        Put32(b, h + sh::kSizeOfRawData, s.sizeOfRawData.value_or(static_cast<std::uint32_t>(s.data.size())));
        Put32(b, h + sh::kPointerToRawData, s.pointerToRawData.value_or(static_cast<std::uint32_t>(at)));
        Put32(b, h + sh::kCharacteristics, 0x40000040);
        if (hasResources && i + 1 == all.size()) {
            out.resourceSection = at;
            out.resourceAddress = rvas[i];
            Put32(b, resourceDirectory + oh::kDirectoryAddress, rvas[i]);
            Put32(b, resourceDirectory + oh::kDirectorySize, static_cast<std::uint32_t>(s.data.size()));
        }
    }
    return out;
}

std::string HostileImage(std::size_t types, std::size_t names, const std::u16string& name, std::size_t sections) {
    PeImage image;
    // The writer gives each section without bytes one page of addresses, from
    // the second page on: the directories go last, past the long table.
    const auto rva = static_cast<std::uint32_t>(0x1000 * sections);
    // (Built by appending: GCC 12 warns wrongly of "s" + std::string at -O3.)
    for (std::size_t i = 1; i < sections; ++i) image.sections.push_back({std::string("s").append(std::to_string(i)), ""});
    image.sections.push_back({".rsrc", SharedDirectories(rva, types, names, name)});
    PeImage::Built built = image.Build();
    const std::size_t directory = built.optionalHeader + pe::optional_header::kPe32.dataDirectories +
                                  pe::optional_header::kResourceDirectory * pe::optional_header::kDirectoryEntrySize;
    Put32(built.bytes, directory + pe::optional_header::kDirectoryAddress, rva);
    Put32(built.bytes, directory + pe::optional_header::kDirectorySize,
          static_cast<std::uint32_t>(image.sections.back().data.size()));
    return built.bytes;
}

}  // namespace ondrel::testing
