// The program's version block: a record the build places in the ELF section ".kelvane_version"
// of the executable, read back from the file on disk.
//
// Block layout (little-endian): "KVER", the block size (uint32), the fixed record (13 uint32:
// signature 0xFEEF04BD, structure version, file version most and least significant halves,
// product version halves, flags mask, flags, OS, type, subtype, date halves), then the string
// table: language/character-set keys ("040904E4"), each followed by name, value pairs of
// zero-terminated texts and an empty name.
#pragma once

#include "core/UnitStatusWords.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A version block that cannot be read (Words::VersionInfoUnreadable).
using EVersionError = EStatusError;

struct TFixedFileInfo {
    uint32_t dwSignature;
    uint32_t dwStrucVersion;
    uint32_t dwFileVersionMS;
    uint32_t dwFileVersionLS;
    uint32_t dwProductVersionMS;
    uint32_t dwProductVersionLS;
    uint32_t dwFileFlagsMask;
    uint32_t dwFileFlags;
    uint32_t dwFileOS;
    uint32_t dwFileType;
    uint32_t dwFileSubtype;
    uint32_t dwFileDateMS;
    uint32_t dwFileDateLS;
};

class TGpVersionInfo {
public:
    static constexpr std::string_view SectionName = ".kelvane_version";
    static constexpr uint32_t FixedSignature = 0xFEEF04BD;

    // Reads the version block of the file; a file without one (or not an ELF file) has none.
    TGpVersionInfo(const std::string& fileName, std::string_view langCharset);
    // A block given as bytes, as the build makes it.
    TGpVersionInfo(std::vector<uint8_t> block, std::string_view langCharset);

    bool HasVersionInfo() const { return viVersionSize > 0; }
    // The version formatted by the format's tokens; "" without a block. Raises EVersionError
    // when the file has a block that cannot be read.
    std::string GetVersion(std::string_view formatString) const;
    // A string value of the block under the language key ("" when absent).
    std::string GetString(std::string_view name) const;

    static std::vector<uint8_t> MakeBlock(uint16_t major, uint16_t minor, uint16_t release, uint16_t build,
                                          std::string_view productName);

private:
    void Parse(std::string_view langCharset);

    uint32_t viVersionSize = 0;
    std::vector<uint8_t> viVersionInfo;
    TFixedFileInfo viFixedFileInfo{};
    uint32_t viFixedFileSize = 0;
    std::string viLangCharset;
    bool FDamaged = false;
};

namespace UnitVersion {

// The running program's own file (/proc/self/exe resolved).
std::string OwnExecutablePath();

// The bytes of the named section of an ELF file; nothing when the file is not ELF, has no such
// section, or the section lies outside the file. Never throws.
bool ReadElfSection(const std::string& fileName, std::string_view sectionName, std::vector<uint8_t>& bytes);
// The same over an ELF image in memory.
bool FindElfSection(std::span<const uint8_t> image, std::string_view sectionName, std::span<const uint8_t>& bytes);

}  // namespace UnitVersion
