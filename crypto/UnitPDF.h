// PAdES signing of a PDF by editing it in place: an invisible signature field, a signature
// dictionary with a reserved /Contents, the byte ranges around it and a regenerated classic
// cross-reference section.
//
// The document is held as bytes; positions are 0-based byte offsets. The rewrite handles
// classic cross-reference tables made of one subsection starting at object 0. Other readable
// documents, and documents already signed or linearized, are signed by an incremental update
// instead (crypto/UnitPDFIncremental.h); encrypted and unreadable ones are refused with one of
// the words of core/UnitStatusWords.h.
#pragma once

#include "core/UnitStatusWords.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TXmlDoc;
class TPDF;

// A document this rewrite cannot handle, or a signature it cannot write; Word() is the
// failure word.
class EPdfError : public EStatusError {
public:
    EPdfError(std::string_view word, const std::string& message) : EStatusError(word, message) {}
};

// One indirect object, or one of the special parts ("xref", "trailer", "startxref").
class TPDFObject {
public:
    TPDFObject(TPDF& owner, std::string header, size_t position, size_t headerLength,
               size_t length, bool changed);

    const std::string& GetHeader() const { return FHeader; }
    size_t GetPosition() const { return FPosition; }
    size_t GetLength() const { return FLength; }
    bool GetChanged() const { return FChanged; }
    bool IsObject() const;  // an indirect object, not a special part
    int GetNumber() const;  // first word of the header; 0 for the special parts
    int GetGeneration() const;
    // The reference text: the header with "obj" replaced by "R".
    std::string GetReference() const;

    // The text between the header and "endobj", trimmed of blanks, CR, LF and tabs.
    std::string GetBody() const;
    // The value of a top-level dictionary key of the body ("" when absent).
    std::string GetValue(std::string_view key) const;
    std::string GetWord(std::string_view key) const;
    long long GetInt(std::string_view key) const;
    // Sets (or, with an empty value, removes) a top-level dictionary key and rewrites.
    void SetValue(std::string_view key, std::string_view value);
    // Replaces the object's text in the document with header, body and "endobj".
    void SetBody(std::string_view body);

private:
    friend class TPDF;
    TPDF& FOwner;
    std::string FHeader;
    size_t FPosition;
    size_t FHeaderLength;  // bytes the header takes in the document
    size_t FLength;
    bool FChanged;
};

// Signing properties, read case-insensitively, in their original order.
class TPdfSignProperties {
public:
    TPdfSignProperties() = default;
    explicit TPdfSignProperties(std::vector<std::pair<std::string, std::string>> items)
        : FItems(std::move(items)) {}
    void Set(std::string_view name, std::string_view value);
    std::string Get(std::string_view name) const;
    bool Has(std::string_view name) const;
    const std::vector<std::pair<std::string, std::string>>& Items() const { return FItems; }

private:
    std::vector<std::pair<std::string, std::string>> FItems;
};

class TPDF {
public:
    // Reserved /Contents size in hex digits, and the bytes "<", the digits and ">" take.
    static constexpr size_t ContentsHexSize = 20480;
    static constexpr size_t ContentsBytes = ContentsHexSize + 2;
    // Room added for a time-stamp token when the request asks for one ("TimestampURL").
    static constexpr size_t TimestampHexSize = 32768;
    // The reserved /Contents size in hex digits for this request.
    static size_t ContentsHexSizeFor(const TPdfSignProperties& request);
    // Room a document's bytes are given beyond their size, so that what signing adds (the new
    // objects, the reserved /Contents, the table) never moves, and so never copies, them.
    static constexpr size_t SigningRoom = 2 * ContentsBytes + TimestampHexSize + 32 * 1024;
    // A document as the system holds it.
    using TBytes = std::vector<uint8_t>;

    // Makes the CMS for the request copy (ContentHash, Dettached, Order already set) and
    // returns its DER as hex, "" when it cannot. The document then stands exactly as the
    // two byte ranges of the final file. Given to the document when it is made; the signing
    // of a SIGNEDDATA request (crypto/UnitSignedData.h) gives the CMS builder itself.
    using TCmsHook = std::function<std::string(TXmlDoc& requestCopy, TPDF& pdf)>;
    // The same seam without the XML request: digest OID and digest hex in, CMS hex out.
    using TCmsMaker = std::function<std::string(const std::string& digestOid,
                                                const std::string& digestHex)>;

    // Without a CMS maker, Sign(TXmlDoc&) fails with PdfCmsFailed.
    TPDF();
    explicit TPDF(TCmsHook cmsMaker);
    explicit TPDF(const std::string& fileName);
    ~TPDF();
    TPDF(const TPDF&) = delete;
    TPDF& operator=(const TPDF&) = delete;

    bool LoadFromFile(const std::string& fileName);
    // The document is taken over; give it SigningRoom spare capacity to sign it without a copy.
    bool LoadFromBytes(TBytes bytes);
    // A copy of the text's bytes.
    bool LoadFromBytes(std::string_view bytes);
    // Text in the given encoding number (12: upper-case hex).
    bool LoadFromText(std::string_view text, int encoding);
    bool SaveToText(std::string& out, int encoding) const;
    // Written to fileName + ".~tmp", then moved over fileName.
    bool SaveToFile(const std::string& fileName) const;

    // The PAdES signing of a SIGNEDDATA request node, with the CMS from the maker given to
    // the constructor; true when a signature was written.
    bool Sign(TXmlDoc& request);
    // The signing itself, with the CMS made by `maker`.
    bool Sign(const TPdfSignProperties& request, const TCmsMaker& maker);

    // The time written as the signature's /M; 0 (the default) is the time of signing.
    void SetSigningTime(std::time_t t) { FSigningTime = t; }
    // Whether the document is signed by an incremental update rather than edited in place.
    bool IsIncremental() const { return FIncremental; }

    // Failure word of the last Load or Sign ("" after success).
    const std::string& GetError() const { return FError; }
    bool IsLoaded() const { return FLoaded; }
    const TBytes& GetBytes() const { return FData; }
    // The same bytes as text, for searching and comparing.
    std::string_view GetText() const { return {reinterpret_cast<const char*>(FData.data()), FData.size()}; }
    // Hands the document over; the PDF is empty afterwards.
    TBytes TakeBytes();
    const std::string& GetFileName() const { return FFileName; }

    size_t GetObjectCount() const { return FObjects.size(); }
    TPDFObject& GetObject(size_t index) { return *FObjects.at(index); }
    TPDFObject* FindObject(int number);
    TPDFObject& NewObject();
    TPDFObject* GetCatalog() { return FCatalog; }
    TPDFObject& GetXref() { return *FXref; }
    TPDFObject& GetTrailer() { return *FTrailer; }
    TPDFObject& GetStartXref() { return *FStartXref; }
    int GetHighest() const { return FHighest; }
    // The first page object, found through the catalog's page tree.
    TPDFObject* GetFirstPage();

    // Byte ranges of the last signature written: start1, length1, start2, length2.
    const std::vector<long long>& GetByteRange() const { return FByteRange; }

private:
    friend class TPDFObject;

    void Clear();
    void Parse();
    void ReadSection(size_t xrefOffset, bool newest, std::vector<char>& seen);
    TPDFObject& AddPart(std::string header, size_t position, size_t length);
    // Replaces `length` bytes at `position` with `text`, moving every tracked position
    // after it (other than `self`).
    void Splice(size_t position, size_t length, std::string_view text, const TPDFObject* self);
    void Rewrite(TPDFObject& object, std::string_view text);
    void RegenerateXref();
    void FixPrevChain();
    void UpdateHeader();
    std::string ExistingFields();
    void ApplyInfo(const TPdfSignProperties& request);
    bool SignIncremental(const TPdfSignProperties& request, const TCmsMaker& maker);
    // The steps of a rewriting signature: the widget, form and signature objects (the
    // signature last, right before the table), then its byte range.
    TPDFObject& AddSignatureObjects(const TPdfSignProperties& request, size_t hexSize);
    void FillByteRange(const TPDFObject& signature, size_t contentsBytes);

    TBytes FData;
    std::string FFileName;
    std::string FError;
    bool FLoaded = false;
    std::vector<std::unique_ptr<TPDFObject>> FObjects;
    // Special parts of the newest section, and the xref/trailer pairs of older ones (oldest
    // last) whose positions still move with every edit.
    std::unique_ptr<TPDFObject> FXref;
    std::unique_ptr<TPDFObject> FTrailer;
    std::unique_ptr<TPDFObject> FStartXref;
    std::vector<std::pair<std::unique_ptr<TPDFObject>, std::unique_ptr<TPDFObject>>> FOlder;
    TPDFObject* FCatalog = nullptr;
    int FHighest = 0;
    std::vector<long long> FByteRange;
    TCmsHook FCmsHook;
    std::time_t FSigningTime = 0;
    bool FIncremental = false;
};

namespace UnitPDF {

// Upper-case hex digest of bytes for a digest OID (or an RSA signature OID); "" when the
// algorithm is unknown.
std::string DigestHex(std::string_view bytes, const std::string& oid);

// Text as a PDF literal string, with "(", ")" and "\" escaped.
std::string LiteralString(std::string_view text);

// Text as the body of a PDF name: blanks, delimiters and "#" written "#XX".
std::string NameText(std::string_view text);
// "YYYYMMDDHHNNSS" in UTC.
std::string FormatUtc(std::time_t t);
// The value an "info:" property writes into the Info dictionary ("" removes the entry).
std::string InfoText(std::string_view value);
// The "/Prop_Build" entry and its line end the "propbuild:" properties ask for ("" without).
std::string BuildInformation(const TPdfSignProperties& request);
// The digest OID of a signing request: "Hash", else the policy's, else SHA-256.
std::string DigestOid(const TPdfSignProperties& request);

}  // namespace UnitPDF
