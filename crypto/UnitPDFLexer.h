// The text level of the PDF code: the lexer that finds where the entries of a dictionary begin
// and end, and the small text helpers the document (crypto/UnitPDF.cpp) and the signature
// (crypto/UnitPDFSignature.cpp) share. Not for use outside the PDF code.
#pragma once

#include "crypto/UnitPDF.h"
#include "core/UnitStatusWords.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace UnitPDFLexer {

inline constexpr std::string_view Blanks = " \t\r\n\f";
inline constexpr int MaxNesting = 64;

bool IsWhite(char c);
bool IsDelimiter(char c);
std::string_view Trim(std::string_view s, std::string_view chars = Blanks);
bool EqualNoCase(std::string_view a, std::string_view b);
bool StartsNoCase(std::string_view s, std::string_view prefix);
// Whole text as a non-negative decimal number.
bool ParseUnsigned(std::string_view s, long long& value);
long long LeadingInt(std::string_view s);
std::string_view FirstWord(std::string_view s);
std::string Padded(long long value, int width);
[[noreturn]] void Fail(std::string_view word, const std::string& message);
// Replaces `length` bytes at `position` with the text; only what follows moves.
void ReplaceBytes(TPDF::TBytes& data, size_t position, size_t length, std::string_view text);

// The objects of a PDF dictionary, enough to find where each top-level entry begins and ends.
class TLexer {
public:
    explicit TLexer(std::string_view text) : FText(text) {}

    size_t Pos() const { return FPos; }
    bool AtEnd() { SkipSpace(); return FPos >= FText.size(); }
    bool Next(std::string_view s) { SkipSpace(); return FText.substr(FPos, s.size()) == s; }

    void SkipSpace()
    {
        while (FPos < FText.size()) {
            const char c = FText[FPos];
            if (IsWhite(c)) {
                ++FPos;
            } else if (c == '%') {
                while (FPos < FText.size() && FText[FPos] != '\r' && FText[FPos] != '\n')
                    ++FPos;
            } else {
                break;
            }
        }
    }

    std::string_view Name()
    {
        SkipSpace();
        if (FPos >= FText.size() || FText[FPos] != '/')
            Fail(Words::PdfStructureInvalid, "dictionary key expected");
        const size_t start = FPos++;
        while (FPos < FText.size() && !IsWhite(FText[FPos]) && !IsDelimiter(FText[FPos]))
            ++FPos;
        return FText.substr(start + 1, FPos - start - 1);
    }

    void Object(int depth)
    {
        if (depth > MaxNesting)
            Fail(Words::PdfStructureInvalid, "objects nested too deep");
        SkipSpace();
        if (FPos >= FText.size())
            Fail(Words::PdfStructureInvalid, "object expected");
        const char c = FText[FPos];
        if (c == '<' && FText.substr(FPos, 2) == "<<") {
            FPos += 2;
            while (!Next(">>")) {
                if (FPos >= FText.size())
                    Fail(Words::PdfStructureInvalid, "unterminated dictionary");
                Name();
                Object(depth + 1);
            }
            FPos += 2;
        } else if (c == '<') {
            const size_t end = FText.find('>', FPos);
            if (end == std::string_view::npos)
                Fail(Words::PdfStructureInvalid, "unterminated hex string");
            FPos = end + 1;
        } else if (c == '(') {
            int open = 0;
            for (; FPos < FText.size(); ++FPos) {
                const char s = FText[FPos];
                if (s == '\\')
                    ++FPos;
                else if (s == '(')
                    ++open;
                else if (s == ')' && --open == 0)
                    break;
            }
            if (FPos >= FText.size())
                Fail(Words::PdfStructureInvalid, "unterminated string");
            ++FPos;
        } else if (c == '[') {
            ++FPos;
            while (!Next("]")) {
                if (FPos >= FText.size())
                    Fail(Words::PdfStructureInvalid, "unterminated array");
                Object(depth + 1);
            }
            ++FPos;
        } else if (c == '/') {
            Name();
        } else if (IsDelimiter(c)) {
            Fail(Words::PdfStructureInvalid, "unexpected delimiter");
        } else {
            const std::string_view word = Word();
            long long n = 0;
            if (ParseUnsigned(word, n)) {
                // "N G R" is one object.
                const size_t save = FPos;
                const std::string_view generation = Word();
                const std::string_view r = Word();
                if (!(ParseUnsigned(generation, n) && r == "R"))
                    FPos = save;
            }
        }
    }

private:
    std::string_view Word()
    {
        SkipSpace();
        const size_t start = FPos;
        while (FPos < FText.size() && !IsWhite(FText[FPos]) && !IsDelimiter(FText[FPos]))
            ++FPos;
        return FText.substr(start, FPos - start);
    }

    std::string_view FText;
    size_t FPos = 0;
};

struct TDictEntry {
    std::string_view Key;
    size_t KeyStart;   // the "/" of the key
    size_t ValueStart;
    size_t ValueEnd;
};

struct TDict {
    std::vector<TDictEntry> Entries;
    size_t Close = 0;  // the top-level ">>"
};

// Top-level entries of the dictionary the text begins with; throws when it has none.
TDict ParseDict(std::string_view text);
const TDictEntry* FindEntry(const TDict& dict, std::string_view key);

}  // namespace UnitPDFLexer
