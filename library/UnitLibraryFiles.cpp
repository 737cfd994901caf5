#include "library/UnitLibraryFiles.h"

#include "core/UnitLocalUtils.h"
#include "crypto/UnitCryptHash.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace UnitLibraryFiles {

std::string FileSystemName(std::string_view name)
{
    return UnitLocalUtils::LocalFileName(name);
}

std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view name)
{
    const std::string path = FileSystemName(name);
    auto read = UnitPlatformFiles::ReadRegularFile(path, MaxFileSize);
    if (!read.Bytes)
        UnitTrace::Trace("read " + std::string(read.Word) + ": " + path);
    return std::move(read.Bytes);
}

bool SaveFileSafely(std::string_view name, std::string_view data)
{
    const std::string path = FileSystemName(name);
    return !path.empty() && UnitPlatformFiles::SaveFileSafely(path, data);
}

std::optional<std::string> DigestFileHex(std::string_view name, int algorithm)
{
    const auto hash = UnitCryptHash::HashFromNumber(algorithm);
    if (!hash)
        return std::nullopt;
    // The name as given, without path macros: the host's DIGEST mode hands its "File" over
    // unchanged and it must name the file the user gave, not what a macro stands for.
    std::string digest = UnitCryptHash::DigestFile(std::string(name), *hash);
    if (digest.empty())
        return std::nullopt;
    return digest;
}

}  // namespace UnitLibraryFiles
