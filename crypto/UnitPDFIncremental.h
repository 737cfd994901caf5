// PAdES signing by an incremental update: the original bytes stay untouched and a new section
// is appended with the signature dictionary, its widget and field, the page, form and catalog
// that change, and a cross-reference section of the same kind as the file's last one (a table
// after a table, a stream after a stream) pointing back with /Prev. Earlier signatures stay
// valid.
//
// The document is read with libqpdf (cross-reference streams, object streams, hybrid and
// linearized files); the appended section is written here.
#pragma once

#include "crypto/UnitPDF.h"

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace UnitPDFIncremental {

// Decides, after the rewrite's own reading of `bytes`, whether the document is signed by an
// incremental update instead. `loaded` is whether the rewrite read it and `word` its failure
// word. True for documents the rewrite refused that the reader reads, and for documents the
// rewrite reads that already hold a signature or are linearized; `word` is then cleared. An
// encrypted document sets "PdfEncryptedUnsupported"; a document neither can read keeps, or
// gets, "PdfStructureInvalid".
bool Takes(std::string_view bytes, bool loaded, std::string& word);

// What one signature by incremental update produced.
struct TSigned {
    std::vector<long long> ByteRange;  // start1, length1, start2, length2
    int SignatureNumber = 0;           // object number of the new signature dictionary
};

// Appends the signed update to `data`. The maker is called while `data` stands exactly as the
// two byte ranges of the final file. False with the failure word in `error`; `data` is then
// as it was.
bool Sign(TPDF::TBytes& data, const TPdfSignProperties& request, const TPDF::TCmsMaker& maker,
          std::time_t signingTime, std::string& error, TSigned& result);

// Whether a document already holds a signature (a signature field with a value); false when
// the reader cannot read it.
bool HasSignature(std::string_view bytes);

}  // namespace UnitPDFIncremental
