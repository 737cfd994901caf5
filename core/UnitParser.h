// One cursor over two kinds of byte storage (an in-memory string, a seekable stream), so the
// XML reader and writer run unchanged over a text buffer or a file. The same object reads
// (skip over byte classes, cut out the text between a mark and the cursor) and writes (told
// first how much will come, then handed the text).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

// A set of byte values, one bit each.
class TTokenSet {
public:
    constexpr TTokenSet() = default;
    constexpr TTokenSet(std::initializer_list<uint8_t> bytes)
    {
        for (uint8_t b : bytes)
            Include(b);
    }
    constexpr TTokenSet& Include(uint8_t b)
    {
        FBits[b >> 3] = static_cast<uint8_t>(FBits[b >> 3] | (1u << (b & 7)));
        return *this;
    }
    constexpr TTokenSet& IncludeRange(uint8_t first, uint8_t last)
    {
        for (unsigned b = first; b <= last; ++b)
            Include(static_cast<uint8_t>(b));
        return *this;
    }
    constexpr bool Contains(uint8_t b) const { return ((FBits[b >> 3] >> (b & 7)) & 1) != 0; }
    // The only member of a one-byte set, else -1 (lets long scans use memchr).
    int SingleMember() const
    {
        int found = -1;
        for (size_t i = 0; i < FBits.size(); ++i) {
            if (!FBits[i])
                continue;
            if (found >= 0 || (FBits[i] & (FBits[i] - 1)))
                return -1;
            found = static_cast<int>(i * 8 + static_cast<size_t>(__builtin_ctz(FBits[i])));
        }
        return found;
    }
    constexpr TTokenSet Complement() const
    {
        TTokenSet r;
        for (size_t i = 0; i < FBits.size(); ++i)
            r.FBits[i] = static_cast<uint8_t>(~FBits[i]);
        return r;
    }

private:
    std::array<uint8_t, 32> FBits{};
};

// Raised for read, seek and size failures of a stream.
class EStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TGenericParser {
public:
    virtual ~TGenericParser() = default;
    virtual void Mark() = 0;
    virtual void MoveWhile(const TTokenSet& Tokens) = 0;
    virtual void MoveUntil(const TTokenSet& Tokens) = 0;
    virtual void MoveOffset(int64_t AOffset) = 0;
    virtual bool IsToken(const TTokenSet& Tokens) = 0;
    virtual bool ValidPos() = 0;
    virtual std::string Read() = 0;
    virtual void Estimate(int64_t ASize) = 0;
    virtual void Write(std::string_view AStr) = 0;
    virtual void Allocate() = 0;
    virtual void Finish() = 0;
};

// Reads or fills a caller's string in place. A 0 byte ends the readable data.
class TStringParser : public TGenericParser {
public:
    TStringParser() = default;
    // Reading or writing the caller's string, which must outlive the parser.
    void SetData(std::string& AStr);
    // Reading only.
    void SetData(std::string_view AText);

    void Mark() override { vMark = vPos; }
    void MoveWhile(const TTokenSet& Tokens) override;
    void MoveUntil(const TTokenSet& Tokens) override;
    void MoveOffset(int64_t AOffset) override;
    bool IsToken(const TTokenSet& Tokens) override;
    bool ValidPos() override;
    std::string Read() override;
    void Estimate(int64_t ASize) override { vEstimative += ASize; }
    void Write(std::string_view AStr) override;
    void Allocate() override;
    void Finish() override;

    int64_t Position() const { return vPos; }

private:
    std::string* vStr = nullptr;
    const char* vData = nullptr;
    int64_t vMark = 0;
    int64_t vPos = 0;
    int64_t vEndPos = 0;  // length of the readable string
    int64_t vSize = 0;
    int64_t vEstimative = 0;
};

// Positioned byte storage behind TStreamParser. Failures throw EStreamError.
class TStream {
public:
    virtual ~TStream() = default;
    virtual int64_t GetSize() = 0;
    virtual void SetSize(int64_t ASize) = 0;
    // Reads up to ACount bytes at APos; returns the bytes read (0 at the end).
    virtual size_t ReadAt(int64_t APos, char* ABuffer, size_t ACount) = 0;
    // Writes all bytes at APos; returns the bytes written.
    virtual size_t WriteAt(int64_t APos, const char* ABuffer, size_t ACount) = 0;
};

// A stream over a std::string it owns.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string AData) : FData(std::move(AData)) {}
    int64_t GetSize() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t ASize) override;
    size_t ReadAt(int64_t APos, char* ABuffer, size_t ACount) override;
    size_t WriteAt(int64_t APos, const char* ABuffer, size_t ACount) override;
    const std::string& DataString() const { return FData; }

private:
    std::string FData;
};

// A file opened through a POSIX descriptor, closed on destruction. The lock stands for the
// sharing modes: readers share, a writer holds the file alone. Only regular files are read.
// A stream over a borrowed descriptor (the temporary file of a safe save) leaves it open.
class TFileStream : public TStream {
public:
    enum class TMode { ReadShared };
    TFileStream(const std::string& AFileName, TMode AMode);
    explicit TFileStream(int ABorrowedHandle) : FHandle(ABorrowedHandle), FOwned(false) {}
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t GetSize() override;
    void SetSize(int64_t ASize) override;
    size_t ReadAt(int64_t APos, char* ABuffer, size_t ACount) override;
    size_t WriteAt(int64_t APos, const char* ABuffer, size_t ACount) override;
    // Flushes the file's data to the disk.
    void Sync();

private:
    int FHandle = -1;
    bool FOwned = true;
};

// Reads or writes a stream it does not own. Reading goes through a window of cached bytes so
// the single-byte tests do not cost one system call each.
class TStreamParser : public TGenericParser {
public:
    TStreamParser() = default;
    void SetData(TStream& AStream);

    void Mark() override { vMark = vPos; }
    void MoveWhile(const TTokenSet& Tokens) override;
    void MoveUntil(const TTokenSet& Tokens) override;
    void MoveOffset(int64_t AOffset) override;
    bool IsToken(const TTokenSet& Tokens) override;
    bool ValidPos() override { return vPos >= 0 && vPos < vSize; }
    std::string Read() override;
    void Estimate(int64_t ASize) override { vEstimative += ASize; }
    void Write(std::string_view AStr) override;
    void Allocate() override;
    void Finish() override;

private:
    // The byte at APos (which must be valid) through the cache.
    uint8_t ByteAt(int64_t APos);
    void Flush();

    TStream* vStream = nullptr;
    int64_t vMark = 0;
    int64_t vPos = 0;
    int64_t vSize = 0;
    int64_t vEstimative = 0;
    std::string FCache;
    int64_t FCacheStart = 0;
    std::string FOut;
    int64_t FFlushed = 0;
    int64_t FKnownSize = 0;
};
