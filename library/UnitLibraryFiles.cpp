#include "library/UnitLibraryFiles.h"

#include "core/UnitLocalUtils.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

#include <openssl/evp.h>

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

namespace {

struct TFd {
    int Fd = -1;
    explicit TFd(int fd) : Fd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), std::min<size_t>(data.size(), 1 << 30));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

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
    if (path.empty())
        return false;
    const std::string temporary = path + ".~tmp";
    {
        TFd file(UnitPlatformFiles::CreateTemporaryFile(temporary));
        if (file.Fd < 0)
            return false;
        if (!WriteAll(file.Fd, data) || ::fsync(file.Fd) != 0) {
            ::unlink(temporary.c_str());
            return false;
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> DigestFileHex(std::string_view name, int algorithm)
{
    static const char* const names[] = {"MD5", "SHA1", "MD2", "MD4", "SHA224", "SHA256", "SHA384", "SHA512", "RIPEMD160"};
    if (algorithm < 0 || algorithm > 8)
        return std::nullopt;
    // The name as given, without path macros: the host's DIGEST mode hands its "File" over
    // unchanged and it must name the file the user gave, not what a macro stands for.
    const std::string path(name);
    // Regular files only: /dev/zero or a FIFO would be digested without end.
    std::string_view word;
    TFd file(UnitPlatformFiles::OpenRegularPosixFile(path, word));
    if (file.Fd < 0)
        return std::nullopt;
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, names[algorithm], nullptr), &EVP_MD_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!md || !ctx || EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1)
        return std::nullopt;
    // Streamed in blocks: the result is the same as digesting the file in one piece, and a
    // file larger than memory still works.
    std::vector<uint8_t> block(1 << 20);
    for (;;) {
        const ssize_t n = ::read(file.Fd, block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n)) != 1)
            return std::nullopt;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        return std::nullopt;
    return UnitEncoding::EncodeBytes({digest, length}, UnitEncoding::TEncodingNumber::Hex);
}

}  // namespace UnitLibraryFiles
