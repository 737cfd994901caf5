#include "host/UnitVersion.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <elf.h>

namespace {

constexpr size_t HeaderSize = 8;
constexpr size_t FixedSize = sizeof(TFixedFileInfo);
static_assert(FixedSize == 52);

uint32_t ReadLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

template <class T> bool ReadAt(std::span<const uint8_t> image, uint64_t offset, T& value)
{
    if (offset > image.size() || image.size() - offset < sizeof(T))
        return false;
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return true;
}

template <class Ehdr, class Shdr>
bool FindSection(std::span<const uint8_t> image, std::string_view name, std::span<const uint8_t>& bytes)
{
    Ehdr header;
    if (!ReadAt(image, 0, header) || header.e_shentsize != sizeof(Shdr) || header.e_shstrndx >= header.e_shnum)
        return false;
    auto sectionHeader = [&](uint64_t index, Shdr& section) {
        return ReadAt(image, header.e_shoff + index * sizeof(Shdr), section);
    };
    Shdr names;
    if (!sectionHeader(header.e_shstrndx, names) || names.sh_offset > image.size() ||
        names.sh_size > image.size() - names.sh_offset)
        return false;
    const auto nameTable = image.subspan(names.sh_offset, names.sh_size);
    for (uint64_t i = 0; i < header.e_shnum; ++i) {
        Shdr section;
        if (!sectionHeader(i, section))
            return false;
        if (section.sh_name >= nameTable.size())
            continue;
        const auto* start = reinterpret_cast<const char*>(nameTable.data() + section.sh_name);
        const size_t room = nameTable.size() - section.sh_name;
        const std::string_view sectionName(start, strnlen(start, room));
        if (sectionName != name || section.sh_type == SHT_NOBITS)
            continue;
        if (section.sh_offset > image.size() || section.sh_size > image.size() - section.sh_offset)
            return false;
        bytes = image.subspan(section.sh_offset, section.sh_size);
        return true;
    }
    return false;
}

// One "%..." token of a version format: flags, width and precision kept, anything else dropped
// (the format comes from callers; it must never reach printf unchecked).
std::string FormatNumber(std::string_view token, uint32_t value)
{
    std::string conversion = "%";
    size_t i = 1;
    while (i < token.size() && std::strchr("-+ #0", token[i]))
        conversion += token[i++];
    auto digits = [&](size_t maxDigits) {
        size_t n = 0;
        while (i < token.size() && std::isdigit(static_cast<unsigned char>(token[i]))) {
            if (n++ < maxDigits)
                conversion += token[i];
            ++i;
        }
    };
    digits(2);
    if (i < token.size() && token[i] == '.') {
        conversion += token[i++];
        digits(2);
    }
    conversion += 'u';
    std::array<char, 128> out{};
    const int n = std::snprintf(out.data(), out.size(), conversion.c_str(), value);
    return n > 0 ? std::string(out.data(), std::min<size_t>(static_cast<size_t>(n), out.size() - 1)) : std::string();
}

}  // namespace

TGpVersionInfo::TGpVersionInfo(const std::string& fileName, std::string_view langCharset)
{
    std::vector<uint8_t> block;
    if (UnitVersion::ReadElfSection(fileName, SectionName, block))
        viVersionInfo = std::move(block);
    Parse(langCharset);
}

TGpVersionInfo::TGpVersionInfo(std::vector<uint8_t> block, std::string_view langCharset)
    : viVersionInfo(std::move(block))
{
    Parse(langCharset);
}

void TGpVersionInfo::Parse(std::string_view langCharset)
{
    viVersionSize = static_cast<uint32_t>(std::min<size_t>(viVersionInfo.size(), UINT32_MAX));
    if (viVersionInfo.empty())
        return;
    const uint8_t* p = viVersionInfo.data();
    if (viVersionInfo.size() < HeaderSize + FixedSize || std::memcmp(p, "KVER", 4) != 0 ||
        ReadLe32(p + 4) > viVersionInfo.size() || ReadLe32(p + HeaderSize) != FixedSignature) {
        FDamaged = true;
        return;
    }
    uint32_t fields[13];
    for (int i = 0; i < 13; ++i)
        fields[i] = ReadLe32(p + HeaderSize + 4 * i);
    std::memcpy(&viFixedFileInfo, fields, FixedSize);
    viFixedFileSize = FixedSize;
    viLangCharset = std::string(langCharset);
}

std::string TGpVersionInfo::GetString(std::string_view name) const
{
    if (!HasVersionInfo() || FDamaged)
        return {};
    const auto* start = reinterpret_cast<const char*>(viVersionInfo.data()) + HeaderSize + FixedSize;
    const auto* end = reinterpret_cast<const char*>(viVersionInfo.data()) + std::min<size_t>(viVersionInfo.size(), ReadLe32(viVersionInfo.data() + 4));
    auto next = [&](const char*& p) {
        const char* q = p;
        while (q < end && *q)
            ++q;
        std::string_view text(p, static_cast<size_t>(q - p));
        p = q < end ? q + 1 : end;
        return text;
    };
    const char* p = start;
    while (p < end) {
        const std::string_view key = next(p);
        if (key.empty())
            break;
        for (;;) {
            const std::string_view itemName = next(p);
            if (itemName.empty())
                break;
            const std::string_view value = next(p);
            if (key == viLangCharset && itemName == name)
                return std::string(value);
        }
    }
    return {};
}

std::string TGpVersionInfo::GetVersion(std::string_view formatString) const
{
    if (!HasVersionInfo())
        return {};
    if (FDamaged)
        throw EVersionError(Words::VersionInfoUnreadable);
    const uint32_t parts[4] = {viFixedFileInfo.dwFileVersionMS >> 16, viFixedFileInfo.dwFileVersionMS & 0xFFFF,
                               viFixedFileInfo.dwFileVersionLS >> 16, viFixedFileInfo.dwFileVersionLS & 0xFFFF};
    size_t partCount = 0;
    auto nextPart = [&]() -> uint32_t {
        const size_t index = partCount++;
        return index < 4 ? parts[index] : 0;
    };
    std::string result;
    bool trimming = false;
    size_t cut = 0;
    auto partTaken = [&](uint32_t part) {
        if (trimming && part != 0)
            cut = result.size();
    };
    size_t i = 0;
    while (i < formatString.size()) {
        size_t tokenEnd = i + 1;
        if (formatString[i] == '%') {
            while (tokenEnd < formatString.size() && !std::strchr("aAdDiItT", formatString[tokenEnd]))
                ++tokenEnd;
            if (tokenEnd < formatString.size())
                ++tokenEnd;
        }
        const std::string_view token = formatString.substr(i, tokenEnd - i);
        i = tokenEnd;
        const char last = token.back();
        if (token.size() < 2 || token.front() != '%') {
            result += token;
        } else if (last == 'd' || last == 'D') {
            const uint32_t part = nextPart();
            result += FormatNumber(token, part);
            partTaken(part);
        } else if (last == 'A' || last == 'a') {
            const uint32_t part = nextPart();
            if (part > 26)
                result += '?';
            else if (part > 0)
                result += static_cast<char>((last == 'A' ? 'A' : 'a') + part - 1);
            partTaken(part);
        } else if (last == 'i') {
            partTaken(nextPart());
        } else if (last == 'T' || last == 't') {
            trimming = true;
            cut = result.size();
        } else {
            result += token;
        }
    }
    if (trimming)
        result.resize(cut);
    return result;
}

std::vector<uint8_t> TGpVersionInfo::MakeBlock(uint16_t major, uint16_t minor, uint16_t release, uint16_t build,
                                               std::string_view productName)
{
    std::vector<uint8_t> block = {'K', 'V', 'E', 'R', 0, 0, 0, 0};
    const uint32_t ms = uint32_t(major) << 16 | minor, ls = uint32_t(release) << 16 | build;
    const uint32_t fixed[13] = {FixedSignature, 0x00010000, ms, ls, ms, ls, 0x3F, 0, 0x40004, 1, 0, 0, 0};
    for (uint32_t v : fixed)
        PutLe32(block, v);
    std::string version;
    for (uint32_t v : {uint32_t(major), uint32_t(minor), uint32_t(release), uint32_t(build)})
        version += (version.empty() ? "" : ".") + std::to_string(v);
    for (std::string_view text : {std::string_view("040904E4"), std::string_view("ProductName"), productName,
                                  std::string_view("FileVersion"), std::string_view(version), std::string_view(),
                                  std::string_view()}) {
        block.insert(block.end(), text.begin(), text.end());
        block.push_back(0);
    }
    const uint32_t size = static_cast<uint32_t>(block.size());
    for (size_t i = 0; i < 4; ++i)
        block[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    return block;
}

namespace UnitVersion {

std::string OwnExecutablePath()
{
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

bool FindElfSection(std::span<const uint8_t> image, std::string_view sectionName, std::span<const uint8_t>& bytes)
{
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
        image[EI_DATA] != ELFDATA2LSB)
        return false;
    if (image[EI_CLASS] == ELFCLASS64)
        return FindSection<Elf64_Ehdr, Elf64_Shdr>(image, sectionName, bytes);
    if (image[EI_CLASS] == ELFCLASS32)
        return FindSection<Elf32_Ehdr, Elf32_Shdr>(image, sectionName, bytes);
    return false;
}

bool ReadElfSection(const std::string& fileName, std::string_view sectionName, std::vector<uint8_t>& bytes)
{
    try {
        std::ifstream in(fileName, std::ios::binary);
        if (!in)
            return false;
        // Headers first; the section table and the section are read where they lie, so a large
        // executable is never read whole.
        auto readRange = [&](uint64_t offset, uint64_t size, std::vector<uint8_t>& out) {
            if (size > (64u << 20))
                return false;
            out.resize(size);
            in.clear();
            in.seekg(static_cast<std::streamoff>(offset));
            return size == 0 || bool(in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size)));
        };
        in.seekg(0, std::ios::end);
        const uint64_t fileSize = static_cast<uint64_t>(in.tellg());
        std::vector<uint8_t> head;
        if (!readRange(0, std::min<uint64_t>(fileSize, sizeof(Elf64_Ehdr)), head) || head.size() < EI_NIDENT ||
            std::memcmp(head.data(), ELFMAG, SELFMAG) != 0 || head[EI_CLASS] != ELFCLASS64 || head.size() < sizeof(Elf64_Ehdr))
            return false;
        Elf64_Ehdr header;
        std::memcpy(&header, head.data(), sizeof header);
        if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum ||
            header.e_shoff > fileSize)
            return false;
        std::vector<uint8_t> table;
        if (!readRange(header.e_shoff, uint64_t(header.e_shnum) * sizeof(Elf64_Shdr), table))
            return false;
        auto section = [&](size_t index) {
            Elf64_Shdr s;
            std::memcpy(&s, table.data() + index * sizeof s, sizeof s);
            return s;
        };
        const Elf64_Shdr names = section(header.e_shstrndx);
        std::vector<uint8_t> nameTable;
        if (names.sh_offset > fileSize || names.sh_size > fileSize - names.sh_offset ||
            !readRange(names.sh_offset, names.sh_size, nameTable))
            return false;
        for (size_t i = 0; i < header.e_shnum; ++i) {
            const Elf64_Shdr s = section(i);
            if (s.sh_name >= nameTable.size() || s.sh_type == SHT_NOBITS)
                continue;
            const auto* start = reinterpret_cast<const char*>(nameTable.data() + s.sh_name);
            if (std::string_view(start, strnlen(start, nameTable.size() - s.sh_name)) != sectionName)
                continue;
            if (s.sh_offset > fileSize || s.sh_size > fileSize - s.sh_offset)
                return false;
            return readRange(s.sh_offset, s.sh_size, bytes);
        }
        return false;
    } catch (...) {
        return false;
    }
}

}  // namespace UnitVersion
