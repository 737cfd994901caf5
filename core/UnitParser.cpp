#include "core/UnitParser.h"

#include "platform/UnitPlatformFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------- TStringParser

void TStringParser::SetData(std::string& AStr)
{
    vStr = &AStr;
    vData = AStr.data();
    vEndPos = static_cast<int64_t>(AStr.size());
    vMark = vPos = 0;
    vSize = vEndPos;
    vEstimative = 0;
}

void TStringParser::SetData(std::string_view AText)
{
    vStr = nullptr;
    vData = AText.data();
    vEndPos = static_cast<int64_t>(AText.size());
    vMark = vPos = 0;
    vSize = vEndPos;
    vEstimative = 0;
}

bool TStringParser::ValidPos()
{
    return vPos >= 0 && vPos < vSize && vPos < vEndPos && vData[vPos] != 0;
}

void TStringParser::MoveWhile(const TTokenSet& Tokens)
{
    const int64_t end = std::min(vSize, vEndPos);
    if (vPos < 0)
        return;
    const auto* p = reinterpret_cast<const uint8_t*>(vData);
    int64_t i = vPos;
    while (i < end && p[i] != 0 && Tokens.Contains(p[i]))
        ++i;
    vPos = i;
}

void TStringParser::MoveUntil(const TTokenSet& Tokens)
{
    const int64_t end = std::min(vSize, vEndPos);
    if (vPos < 0 || vPos >= end)
        return;
    const auto* p = reinterpret_cast<const uint8_t*>(vData);
    if (const int single = Tokens.SingleMember(); single > 0 && end - vPos > 64) {
        // A long run up to one byte value (a large attribute value): the end is the first of
        // that byte or of a 0 byte, both found at memory speed.
        const auto length = static_cast<size_t>(end - vPos);
        const void* hit = std::memchr(p + vPos, single, length);
        const size_t stop = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - (p + vPos)) : length;
        const void* zero = std::memchr(p + vPos, 0, stop);
        vPos += static_cast<int64_t>(zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - (p + vPos)) : stop);
        return;
    }
    int64_t i = vPos;
    while (i < end && p[i] != 0 && !Tokens.Contains(p[i]))
        ++i;
    vPos = i;
}

void TStringParser::MoveOffset(int64_t AOffset)
{
    if (ValidPos())
        vPos += AOffset;
}

bool TStringParser::IsToken(const TTokenSet& Tokens)
{
    // The byte past the end reads as the terminating 0, as it does in the string itself.
    if (vPos < 0 || vPos >= vEndPos)
        return Tokens.Contains(0);
    return Tokens.Contains(static_cast<uint8_t>(vData[vPos]));
}

std::string TStringParser::Read()
{
    const int64_t stop = std::min(vPos, vEndPos);
    if (vMark < 0 || stop - vMark <= 0)
        return {};
    const char* from = vData + vMark;
    const size_t length = static_cast<size_t>(stop - vMark);
    const void* zero = std::memchr(from, 0, length);
    return std::string(from, zero ? static_cast<size_t>(static_cast<const char*>(zero) - from) : length);
}

void TStringParser::Allocate()
{
    if (!vStr)
        return;
    vStr->resize(static_cast<size_t>(std::max<int64_t>(vEstimative, 0)));
    vData = vStr->data();
    vEndPos = static_cast<int64_t>(vStr->size());
    vMark = vPos = 0;
    vSize = 0;
}

void TStringParser::Write(std::string_view AStr)
{
    if (AStr.empty() || !vStr)
        return;
    const int64_t needed = vSize + static_cast<int64_t>(AStr.size());
    if (static_cast<int64_t>(vStr->size()) < needed) {
        vStr->resize(static_cast<size_t>(needed));
        vData = vStr->data();
        vEndPos = needed;
    }
    std::memcpy(vStr->data() + vPos, AStr.data(), AStr.size());
    vPos += static_cast<int64_t>(AStr.size());
    vSize += static_cast<int64_t>(AStr.size());
}

void TStringParser::Finish()
{
    if (!vStr)
        return;
    vStr->resize(static_cast<size_t>(vSize));
    vData = vStr->data();
    vEndPos = vSize;
}

// ---------------------------------------------------------------- TMemoryStream

void TMemoryStream::SetSize(int64_t ASize)
{
    if (ASize < 0)
        throw EStreamError("Invalid stream size");
    FData.resize(static_cast<size_t>(ASize));
}

size_t TMemoryStream::ReadAt(int64_t APos, char* ABuffer, size_t ACount)
{
    if (APos < 0)
        throw EStreamError("Stream read error");
    if (APos >= GetSize())
        return 0;
    const size_t n = std::min(ACount, FData.size() - static_cast<size_t>(APos));
    std::memcpy(ABuffer, FData.data() + APos, n);
    return n;
}

size_t TMemoryStream::WriteAt(int64_t APos, const char* ABuffer, size_t ACount)
{
    if (APos < 0)
        throw EStreamError("Stream write error");
    if (static_cast<size_t>(APos) + ACount > FData.size())
        FData.resize(static_cast<size_t>(APos) + ACount);
    std::memcpy(FData.data() + APos, ABuffer, ACount);
    return ACount;
}

// ---------------------------------------------------------------- TFileStream

TFileStream::TFileStream(const std::string& AFileName, TMode)
{
    std::string_view word;
    FHandle = UnitPlatformFiles::OpenRegularPosixFile(AFileName, word);
    if (FHandle < 0)
        throw EStreamError("Cannot open file");
    if (::flock(FHandle, LOCK_SH | LOCK_NB) != 0) {
        ::close(FHandle);
        throw EStreamError("File is in use");
    }
}

TFileStream::~TFileStream()
{
    if (FOwned && FHandle >= 0)
        ::close(FHandle);
}

int64_t TFileStream::GetSize()
{
    struct stat st {};
    if (::fstat(FHandle, &st) != 0)
        throw EStreamError("Cannot read file size");
    return static_cast<int64_t>(st.st_size);
}

void TFileStream::SetSize(int64_t ASize)
{
    if (ASize < 0 || ::ftruncate(FHandle, static_cast<off_t>(ASize)) != 0)
        throw EStreamError("Cannot set file size");
}

size_t TFileStream::ReadAt(int64_t APos, char* ABuffer, size_t ACount)
{
    size_t done = 0;
    while (done < ACount) {
        const ssize_t n = ::pread(FHandle, ABuffer + done, ACount - done, static_cast<off_t>(APos + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EStreamError("File read error");
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t TFileStream::WriteAt(int64_t APos, const char* ABuffer, size_t ACount)
{
    size_t done = 0;
    while (done < ACount) {
        const ssize_t n = ::pwrite(FHandle, ABuffer + done, ACount - done, static_cast<off_t>(APos + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EStreamError("File write error");
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

void TFileStream::Sync()
{
    if (::fsync(FHandle) != 0)
        throw EStreamError("File write error");
}

// ---------------------------------------------------------------- TStreamParser

namespace {
constexpr size_t kCacheSize = 64 * 1024;
}

void TStreamParser::SetData(TStream& AStream)
{
    vStream = &AStream;
    vMark = vPos = 0;
    vSize = AStream.GetSize();
    vEstimative = 0;
    FCache.clear();
    FCacheStart = 0;
    FOut.clear();
    FFlushed = vSize;
    FKnownSize = vSize;
}

uint8_t TStreamParser::ByteAt(int64_t APos)
{
    if (APos < FCacheStart || APos >= FCacheStart + static_cast<int64_t>(FCache.size())) {
        FCache.resize(kCacheSize);
        const size_t n = vStream->ReadAt(APos, FCache.data(), kCacheSize);
        FCache.resize(n);
        FCacheStart = APos;
        if (n == 0)
            throw EStreamError("Stream read error");
    }
    return static_cast<uint8_t>(FCache[static_cast<size_t>(APos - FCacheStart)]);
}

void TStreamParser::MoveWhile(const TTokenSet& Tokens)
{
    while (ValidPos() && Tokens.Contains(ByteAt(vPos)))
        ++vPos;
}

void TStreamParser::MoveUntil(const TTokenSet& Tokens)
{
    while (ValidPos() && !Tokens.Contains(ByteAt(vPos)))
        ++vPos;
}

void TStreamParser::MoveOffset(int64_t AOffset)
{
    if (ValidPos())
        vPos += AOffset;
}

bool TStreamParser::IsToken(const TTokenSet& Tokens)
{
    if (!vStream || vPos < 0)
        throw EStreamError("Stream read error");
    return Tokens.Contains(ByteAt(vPos));
}

std::string TStreamParser::Read()
{
    if (!ValidPos() || vPos - vMark <= 0 || vMark < 0)
        return {};
    std::string result(static_cast<size_t>(vPos - vMark), '\0');
    const size_t n = vStream->ReadAt(vMark, result.data(), result.size());
    if (n != result.size())
        throw EStreamError("Stream read error");
    return result;
}

void TStreamParser::Allocate()
{
    FCache.clear();
    vStream->SetSize(vEstimative);
    FKnownSize = vEstimative;
}

// Output is gathered in a buffer so small pieces do not each cost a system call; the stream
// grows only when the estimate was short.
void TStreamParser::Flush()
{
    if (FOut.empty())
        return;
    const int64_t needed = FFlushed + static_cast<int64_t>(FOut.size());
    if (FKnownSize < needed) {
        vStream->SetSize(needed);
        FKnownSize = needed;
    }
    const size_t n = vStream->WriteAt(FFlushed, FOut.data(), FOut.size());
    FFlushed += static_cast<int64_t>(n);
    FOut.clear();
}

void TStreamParser::Write(std::string_view AStr)
{
    if (AStr.empty())
        return;
    FCache.clear();
    FOut.append(AStr);
    vSize += static_cast<int64_t>(AStr.size());
    if (FOut.size() >= kCacheSize)
        Flush();
}

void TStreamParser::Finish()
{
    FCache.clear();
    Flush();
    vStream->SetSize(vSize);
}
