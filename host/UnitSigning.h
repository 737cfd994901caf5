// The host's signing operations: choosing the digest and the certificate, reading the document,
// building the signing request and its round trips through the library's buffers, digesting a
// file and writing the result. The host never signs itself; dorvik does.
#pragma once

#include "core/UnitStatusWords.h"
#include "core/UnitXmlDoc.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A failure of the sign steps whose word is the answer's error text.
using ESignError = EStatusError;

namespace UnitSigning {

inline constexpr std::string_view Sha1Oid = "1.3.14.3.2.26";
// The length of a certificate code the host accepts from the selector.
inline constexpr int MaxCertificateCode = 100;

// The digest OID for a name ("sha256", "sha384", "sha512", "sha224", any case); SHA-1 otherwise.
std::string HashOidFromName(std::string_view name);
// The library's digest row for an OID (exact match); 1 (SHA-1) for any other text.
int HashAlgorithmFromOid(std::string_view oid);

// Runs the library's certificate selector; the trimmed code, or nothing when none was chosen.
// A non-empty origin (the page a browser request came from) is shown in the dialog.
std::optional<std::string> SelectCertificateCode(const std::string& origin = {});

// Text decoded with number d and encoded with number e, through the library's buffers. The text
// is taken over and released once the library holds its copy (documents are large).
std::string RecodeText(std::string text, int d, int e);

// Upper-case hex digest of the file; "" when the library gave none.
std::string DigestFile(const std::string& file, std::string_view oid);

// The whole file encoded with number e by the host's own encoding layer; nothing when the file
// is missing or cannot be read or encoded.
std::optional<std::string> LoadFileAsText(const std::string& file, int e);

// Decodes text with number e and writes it by the safe save (UnitPlatformFiles::SaveFileSafely), creating
// the missing folders. False on any failure; no partial file is left under the name.
bool SaveTextAsFile(const std::string& file, const std::string& text, int e);

// Copies "attrs" (alternating names and values) into children "attr" + name of the request tree.
// Raises ESignError for an "attrs" member that is not an array of name/value pairs.
void CopyRequestAttributes(const nlohmann::json& request, TXmlDoc& requestTree);

// The signing request (the SIGNEDDATA node) for these inputs, with the request tree's "attr"
// children applied.
std::unique_ptr<TXmlDoc> MakeSigningRequest(const std::string& code, std::string contentHex, const std::string& hashOid,
                                            const std::string& type, const std::string& fileName, TXmlDoc& requestTree);

// The XML text of the signing request (the SIGNEDDATA node) for these inputs.
std::string BuildSigningRequest(const std::string& code, std::string contentHex, const std::string& hashOid,
                                const std::string& type, const std::string& fileName, TXmlDoc& requestTree);

// Builds the signing request and has the library sign it; the hex of the signed bytes, "" on failure.
std::string PutSignature(const std::string& code, std::string contentHex, const std::string& hashOid,
                         const std::string& type, const std::string& fileName, TXmlDoc& requestTree);

// Bytes of memory the machine can still give (MemAvailable of /proc/meminfo); nothing when
// unknown. Handed to whoever must judge a document before working on it.
using TMemoryAvailable = std::function<std::optional<uint64_t>()>;
std::optional<uint64_t> MemAvailableFromProc();
// The MemAvailable line of a /proc/meminfo text, in bytes.
std::optional<uint64_t> ParseMemAvailable(std::string_view meminfo);

// The digest OID a signing request's builder uses: "Hash", else field 1 of "Policy", else
// SHA-256.
std::string RequestDigestOid(TXmlDoc& request);
// Whether a request may carry the document's digest ("ContentHash") instead of the document:
// a detached CMS of binary content, with no digest of its own, whose digest is one the host
// names (the digest table above, SHA-1 included). The CMS is then byte for byte the one the
// document itself gives.
bool TakesContentHash(TXmlDoc& request);

// Puts the digest of the file (a POSIX name) into a request that TakesContentHash, as
// "ContentHash", and empties its "Content"; false when the file gives no digest.
bool UseContentHash(TXmlDoc& request, const std::string& systemName);

// The memory a file request of `size` bytes needs on the road through the library: the hex of
// the document in the library's text buffer (2 bytes a byte) and the signed bytes beside it.
uint64_t MemoryNeeded(uint64_t size);

// Signs a file request: the document goes from the file to the library's text buffer in
// slices, as the hex of the request's "Content" (or, for a detached signature, only its digest
// goes, as "ContentHash"), and the signed bytes come back from the library's text into the
// signed file in slices. "" when signed, else the error word: "FailedToLoad" (file missing or
// unreadable, or more memory needed than the machine has available), "FailedToSign" (or the
// library's word, SignFailureWord), "FailedToSave".
std::string SignFile(const std::string& code, const std::string& fileName, const std::string& hashOid,
                     const std::string& type, TXmlDoc& requestTree, const std::string& signedFileName,
                     const TMemoryAvailable& memory);

// Writes the library's text buffer, `size` characters of upper-case hex, decoded into the file
// a slice at a time (name.~tmp, then moved over name); false on any failure.
bool SaveLibraryHexAsFile(const std::string& file, int32_t size);

// The answer's error word for a signature the library did not make: "FailedToSign", or the
// library's own word when it refused a document the user can do something about
// ("PdfAlreadySigned").
std::string SignFailureWord();

// The program's version text, "%d.%d.%d.%d" of its own version block.
std::string ProgramVersion();

// The name a file request's result is written under.
std::string SignedFileName(const std::string& fileName, const std::string& type);

// A file name as the file system wants it: path macros expanded, "\" turned into "/"; "" for
// a name holding a zero byte (the kernel would read another name).
std::string FileSystemName(const std::string& fileName);
bool HoldsZeroByte(std::string_view fileName);

}  // namespace UnitSigning
