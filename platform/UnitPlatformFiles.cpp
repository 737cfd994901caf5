#include "platform/UnitPlatformFiles.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UnitPlatformFiles {

namespace {

bool StatOf(std::string_view systemPath, struct stat& info)
{
    if (systemPath.empty())
        return false;
    const std::string path = ToPosixPath(systemPath);
    return ::stat(path.c_str(), &info) == 0;
}

void FillRandom(uint8_t* bytes, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::getrandom(bytes + done, count - done, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        done += static_cast<size_t>(got);
    }
}

// The cross-file-system half of a move: copy, then remove the source. Files only.
bool CopyThenRemove(const std::string& from, const std::string& to)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(from, ec))
        return false;
    if (!std::filesystem::copy_file(from, to, std::filesystem::copy_options::none, ec))
        return false;
    if (::unlink(from.c_str()) != 0) {
        ::unlink(to.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::string ToPosixPath(std::string_view systemPath)
{
    std::string path(systemPath);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string ToSystemPath(std::string_view posixPath)
{
    std::string path(posixPath);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

bool FileExists(std::string_view systemPath)
{
    struct stat info {};
    return StatOf(systemPath, info) && !S_ISDIR(info.st_mode);
}

bool DirectoryExists(std::string_view systemPath)
{
    struct stat info {};
    return StatOf(systemPath, info) && S_ISDIR(info.st_mode);
}

bool DeleteFile(std::string_view systemPath)
{
    if (systemPath.empty())
        return false;
    const std::string path = ToPosixPath(systemPath);
    return ::unlink(path.c_str()) == 0;
}

bool MoveFile(std::string_view fromSystemPath, std::string_view toSystemPath)
{
    if (fromSystemPath.empty() || toSystemPath.empty())
        return false;
    const std::string from = ToPosixPath(fromSystemPath);
    const std::string to = ToPosixPath(toSystemPath);
    // RENAME_NOREPLACE keeps the check and the move one atomic step.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the flag: link() refuses an existing target just the same.
        if (::link(from.c_str(), to.c_str()) == 0)
            return ::unlink(from.c_str()) == 0;
    }
    if (errno == EXDEV)
        return CopyThenRemove(from, to);
    return false;
}

bool ForceDirectories(std::string_view systemPath)
{
    if (systemPath.empty())
        return false;
    const std::filesystem::path path(ToPosixPath(systemPath));
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

std::string NewGuid()
{
    std::array<uint8_t, 16> bytes{};
    FillRandom(bytes.data(), bytes.size());
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "{";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    text += '}';
    return text;
}

}  // namespace UnitPlatformFiles
