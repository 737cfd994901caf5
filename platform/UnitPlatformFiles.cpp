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
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UnitPlatformFiles {

namespace {

bool StatOf(std::string_view systemPath, struct stat& info)
{
    if (!IsUsableName(systemPath))
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

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, std::min<size_t>(size - done, size_t{1} << 30));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The folder holding a renamed file is synced so that the new entry itself is on the disk.
// Some file systems cannot sync a folder; the file's own bytes are synced already then.
void SyncFolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool IsUsableName(std::string_view name)
{
    return !name.empty() && name.find('\0') == std::string_view::npos;
}

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
    if (!IsUsableName(systemPath))
        return false;
    const std::string path = ToPosixPath(systemPath);
    return ::unlink(path.c_str()) == 0;
}

bool MoveFile(std::string_view fromSystemPath, std::string_view toSystemPath)
{
    if (!IsUsableName(fromSystemPath) || !IsUsableName(toSystemPath))
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
    if (!IsUsableName(systemPath))
        return false;
    const std::filesystem::path path(ToPosixPath(systemPath));
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

int OpenRegularFile(std::string_view systemPath, std::string_view& word)
{
    if (!IsUsableName(systemPath)) {
        word = InvalidFileName;
        return -1;
    }
    return OpenRegularPosixFile(ToPosixPath(systemPath), word);
}

int OpenRegularPosixFile(const std::string& path, std::string_view& word)
{
    if (!IsUsableName(path)) {
        word = InvalidFileName;
        return -1;
    }
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        word = errno == ENOENT || errno == ENOTDIR ? FileNotFound : FileUnreadable;
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        word = NotARegularFile;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

TFileRead ReadRegularFile(std::string_view systemPath, uint64_t maxSize)
{
    TFileRead result;
    const int fd = OpenRegularFile(systemPath, result.Word);
    if (fd < 0)
        return result;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        result.Word = FileUnreadable;
        return result;
    }
    if (static_cast<uint64_t>(info.st_size) > maxSize) {
        ::close(fd);
        result.Word = FileTooLarge;
        return result;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
    size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            // Room for a file that grew since fstat, up to the limit (and one byte past it).
            if (done > maxSize)
                break;
            const uint64_t left = maxSize - done;
            const uint64_t more = left < 65536 ? left + 1 : 65536;
            bytes.resize(done + static_cast<size_t>(more));
        }
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            std::fill(bytes.begin(), bytes.end(), uint8_t(0));
            result.Word = FileUnreadable;
            return result;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done > maxSize) {
        std::fill(bytes.begin(), bytes.end(), uint8_t(0));
        result.Word = FileTooLarge;
        return result;
    }
    bytes.resize(done);
    result.Bytes = std::move(bytes);
    return result;
}

int CreateTemporaryFile(std::string_view posixPath, unsigned mode)
{
    if (!IsUsableName(posixPath))
        return -1;
    const std::string path(posixPath);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
                return fd;
            ::close(fd);
            return -1;
        }
        if (errno != EEXIST)
            return -1;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0)
            continue;  // gone meanwhile: try again
        if (S_ISLNK(info.st_mode)) {
            ::unlink(path.c_str());  // the link, not what it points to
            continue;
        }
        if (!S_ISREG(info.st_mode))
            return -1;
        // A temporary file of an earlier save: removed, unless a save in progress holds it.
        const int stale = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (stale < 0)
            continue;
        const bool idle = ::flock(stale, LOCK_EX | LOCK_NB) == 0;
        if (idle)
            ::unlink(path.c_str());
        ::close(stale);
        if (!idle)
            return -1;
    }
    return -1;
}

bool SaveFileSafely(std::string_view posixPath, const TFileWriter& write, unsigned mode)
{
    if (!IsUsableName(posixPath) || !write)
        return false;
    const std::string target(posixPath);
    const std::string temporary = target + ".~tmp";
    const int fd = CreateTemporaryFile(temporary, mode);
    if (fd < 0)
        return false;
    // The descriptor stays open, and so the temporary file locked, until it has its new name:
    // a save started meanwhile finds it busy instead of taking it for a stale one.
    const auto fail = [&](bool keepTemporary) {
        if (!keepTemporary)
            ::unlink(temporary.c_str());
        ::close(fd);
        return false;
    };
    bool written = false;
    try {
        written = write(fd);
    } catch (...) {
        written = false;
    }
    if (!written || ::fsync(fd) != 0)
        return fail(false);
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode))
            return fail(false);
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            return fail(true);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return fail(false);
    ::close(fd);
    SyncFolderOf(target);
    return true;
}

bool SaveFileSafely(std::string_view posixPath, std::span<const uint8_t> bytes, unsigned mode)
{
    return SaveFileSafely(posixPath, [bytes](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); }, mode);
}

bool SaveFileSafely(std::string_view posixPath, std::string_view text, unsigned mode)
{
    return SaveFileSafely(posixPath, [text](int fd) { return WriteAll(fd, text.data(), text.size()); }, mode);
}

std::array<uint8_t, 16> NewGuid()
{
    std::array<uint8_t, 16> bytes{};
    FillRandom(bytes.data(), bytes.size());
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return bytes;
}

}  // namespace UnitPlatformFiles
