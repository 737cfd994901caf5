// The digest table and the digest helper that every digest of the library goes through.
// Digests come back as upper-case hex; any failure gives the empty text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <openssl/types.h>

namespace UnitCryptHash {

// Row numbers are fixed: callers store and pass them as numbers.
enum class TCryptHash : int {
    MD5 = 0,
    SHA1 = 1,
    MD2 = 2,
    MD4 = 3,
    SHA224 = 4,
    SHA256 = 5,
    SHA384 = 6,
    SHA512 = 7,
    RIPEMD160 = 8,
};

struct TCryptHashRow {
    TCryptHash Hash;
    std::string_view Name;
    std::string_view DigestOid;
    std::string_view SignatureOid;  // RSA with this digest
    std::string_view Function;      // the crypto library's descriptor
};

inline constexpr int HashRowCount = 9;

// The row of a number 0 to 8; nullopt for any other number.
std::optional<TCryptHash> HashFromNumber(int number);
const TCryptHashRow& HashRow(TCryptHash hash);

// Digest OID first, then signature OID; an OID in neither column gives RIPEMD-160.
TCryptHash HashFromOid(std::string_view oid);
// The same lookup; nothing for an OID in neither column.
std::optional<TCryptHash> FindHashByOid(std::string_view oid);

// The row of a digest known only by its hex length; unknown lengths are taken as SHA-1.
TCryptHash HashFromHexLength(size_t hexDigits);

// The RSA signature OID written beside a digest OID; rsaEncryption for the others.
std::string_view SignatureOidForDigestOid(std::string_view digestOid);

std::string DigestBytes(std::span<const uint8_t> bytes, TCryptHash hash);
std::string DigestText(std::string_view text, TCryptHash hash);
// By a digest the crypto library has fetched outside the table (a name or OID a caller gave).
std::string DigestBytes(std::span<const uint8_t> bytes, const EVP_MD* md);
// Hex that decodes to no bytes (empty, or not hex) gives the empty text without hashing.
std::string DigestHex(std::string_view hex, TCryptHash hash);
// Read to the end in chunks, so a stream or file of any size needs only one chunk of memory.
std::string DigestStream(std::istream& stream, TCryptHash hash);
// Regular files only (a FIFO or /dev/zero would never end); the name is handed to the kernel
// as it is. "" when the file cannot be opened or read.
std::string DigestFile(const std::filesystem::path& path, TCryptHash hash);
// Reads the open file to its end in chunks.
std::string DigestFileDescriptor(int fd, TCryptHash hash);

}  // namespace UnitCryptHash
