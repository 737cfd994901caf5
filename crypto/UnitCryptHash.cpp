#include "crypto/UnitCryptHash.h"

#include "crypto/UnitOpenSsl.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitTrace.h"

#include <cerrno>
#include <unistd.h>

#include <array>
#include <fstream>
#include <istream>
#include <vector>

namespace UnitCryptHash {

using namespace UnitOpenSsl;

namespace {

constexpr std::array<TCryptHashRow, HashRowCount> Rows{{
    {TCryptHash::MD5, "MD5", "1.2.840.113549.2.5", "1.2.840.113549.1.1.4", "EVP_md5"},
    {TCryptHash::SHA1, "SHA-1", "1.3.14.3.2.26", "1.2.840.113549.1.1.5", "EVP_sha1"},
    {TCryptHash::MD2, "MD2", "1.2.840.113549.2.2", "1.2.840.113549.1.1.2", "EVP_md2"},
    {TCryptHash::MD4, "MD4", "1.2.840.113549.2.4", "1.2.840.113549.1.1.3", "EVP_md4"},
    {TCryptHash::SHA224, "SHA-224", "2.16.840.1.101.3.4.2.4", "1.2.840.113549.1.1.14",
     "EVP_sha224"},
    {TCryptHash::SHA256, "SHA-256", "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11",
     "EVP_sha256"},
    {TCryptHash::SHA384, "SHA-384", "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12",
     "EVP_sha384"},
    {TCryptHash::SHA512, "SHA-512", "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13",
     "EVP_sha512"},
    {TCryptHash::RIPEMD160, "RIPEMD-160", "1.3.36.3.2.1", "1.3.36.3.3.1.2", "EVP_ripemd160"},
}};

constexpr size_t ChunkSize = size_t{1} << 20;

// One digest computation; Update may be called any number of times.
class TDigester {
public:
    explicit TDigester(TCryptHash hash)
    {
        const auto number = static_cast<int>(hash);
        CheckOpenSsl(number >= 0 && number < HashRowCount, "digest row");
        const std::string_view function = Rows[static_cast<size_t>(number)].Function;
        FMd = FetchDigest(function);
        CheckOpenSsl(FMd != nullptr, function);
        Start();
    }

    explicit TDigester(const EVP_MD* md)
    {
        CheckOpenSsl(md != nullptr, "digest");
        Start(md);
    }

    void Update(const void* data, size_t size)
    {
        CheckOpenSsl(EVP_DigestUpdate(FCtx.get(), data, size) == 1, "EVP_DigestUpdate");
    }

    std::string Final()
    {
        std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
        unsigned int length = 0;
        CheckOpenSsl(EVP_DigestFinal_ex(FCtx.get(), digest.data(), &length) == 1,
                     "EVP_DigestFinal_ex");
        return UnitCodecs::HexEncode(std::span(digest.data(), length));
    }

private:
    void Start(const EVP_MD* md = nullptr)
    {
        FCtx.reset(EVP_MD_CTX_new());
        CheckOpenSsl(FCtx != nullptr, "EVP_MD_CTX_new");
        CheckOpenSsl(EVP_DigestInit_ex(FCtx.get(), md ? md : FMd.get(), nullptr) == 1, "EVP_DigestInit_ex");
    }

    TMdPtr FMd;
    TMdCtxPtr FCtx;
};

// The helper answers the empty text for every failure, whatever raised it.
template <class TKind, class TFeed> std::string DigestOrEmpty(TKind hash, TFeed&& feed) noexcept
{
    try {
        TDigester digester(hash);
        feed(digester);
        return digester.Final();
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("digest failed: ") + e.what());
    } catch (...) {
        UnitTrace::Trace("digest failed");
    }
    return {};
}

}  // namespace

std::optional<TCryptHash> HashFromNumber(int number)
{
    if (number < 0 || number >= HashRowCount)
        return std::nullopt;
    return static_cast<TCryptHash>(number);
}

const TCryptHashRow& HashRow(TCryptHash hash)
{
    const auto number = static_cast<int>(hash);
    return Rows[number >= 0 && number < HashRowCount ? static_cast<size_t>(number)
                                                     : static_cast<size_t>(TCryptHash::SHA1)];
}

std::optional<TCryptHash> FindHashByOid(std::string_view oid)
{
    for (const auto& row : Rows)
        if (row.DigestOid == oid)
            return row.Hash;
    for (const auto& row : Rows)
        if (row.SignatureOid == oid)
            return row.Hash;
    return std::nullopt;
}

TCryptHash HashFromOid(std::string_view oid)
{
    return FindHashByOid(oid).value_or(TCryptHash::RIPEMD160);
}

TCryptHash HashFromHexLength(size_t hexDigits)
{
    switch (hexDigits) {
    case 32: return TCryptHash::MD5;
    case 40: return TCryptHash::SHA1;
    case 56: return TCryptHash::SHA224;
    case 64: return TCryptHash::SHA256;
    case 96: return TCryptHash::SHA384;
    case 128: return TCryptHash::SHA512;
    default: return TCryptHash::SHA1;
    }
}

std::string_view SignatureOidForDigestOid(std::string_view digestOid)
{
    for (TCryptHash hash : {TCryptHash::SHA1, TCryptHash::SHA256, TCryptHash::SHA384,
                            TCryptHash::SHA512, TCryptHash::SHA224})
        if (HashRow(hash).DigestOid == digestOid)
            return HashRow(hash).SignatureOid;
    return "1.2.840.113549.1.1.1";
}

std::string DigestBytes(std::span<const uint8_t> bytes, TCryptHash hash)
{
    return DigestOrEmpty(hash, [&](TDigester& d) { d.Update(bytes.data(), bytes.size()); });
}

std::string DigestText(std::string_view text, TCryptHash hash)
{
    return DigestOrEmpty(hash, [&](TDigester& d) { d.Update(text.data(), text.size()); });
}

std::string DigestBytes(std::span<const uint8_t> bytes, const EVP_MD* md)
{
    return DigestOrEmpty(md, [&](TDigester& d) { d.Update(bytes.data(), bytes.size()); });
}

std::string DigestHex(std::string_view hex, TCryptHash hash)
{
    if (hex.empty() || hex.size() % 2 != 0)
        return {};
    // Decoded a chunk at a time: a document of any size needs only one chunk of bytes.
    bool valid = true;
    std::string digest = DigestOrEmpty(hash, [&](TDigester& d) {
        std::vector<uint8_t> chunk;
        for (size_t pos = 0; pos < hex.size() && valid; pos += 2 * ChunkSize) {
            valid = UnitCodecs::HexDecodeStrict(hex.substr(pos, 2 * ChunkSize), chunk);
            if (valid)
                d.Update(chunk.data(), chunk.size());
        }
    });
    return valid ? digest : std::string();
}

std::string DigestStream(std::istream& stream, TCryptHash hash)
{
    return DigestOrEmpty(hash, [&](TDigester& d) {
        std::vector<char> chunk(ChunkSize);
        while (stream) {
            stream.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const std::streamsize got = stream.gcount();
            if (got > 0)
                d.Update(chunk.data(), static_cast<size_t>(got));
        }
        CheckOpenSsl(!stream.bad(), "stream read");
    });
}

std::string DigestFileDescriptor(int fd, TCryptHash hash)
{
    return DigestOrEmpty(hash, [&](TDigester& d) {
        std::vector<uint8_t> chunk(ChunkSize);
        for (;;) {
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            CheckOpenSsl(n >= 0, "read");
            if (n == 0)
                break;
            d.Update(chunk.data(), static_cast<size_t>(n));
        }
    });
}

std::string DigestFile(const std::filesystem::path& path, TCryptHash hash)
{
    // Regular files only: /dev/zero or a FIFO would be digested without end.
    std::string_view word;
    const int fd = UnitPlatformFiles::OpenRegularPosixFile(path.string(), word);
    if (fd < 0) {
        UnitTrace::Trace("digest: cannot open " + path.string());
        return {};
    }
    std::string digest = DigestFileDescriptor(fd, hash);
    ::close(fd);
    return digest;
}

}  // namespace UnitCryptHash
