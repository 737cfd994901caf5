// The two cursors the XML reader runs over: any tokenizer (TGenericParser, a file or a
// string through virtual calls), or a view of text in memory whose steps are inlined. Both
// read the same: a 0 byte ends the readable data.
#pragma once

#include "core/UnitParser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

class TParserCursor {
public:
    explicit TParserCursor(TGenericParser& AParser) : P(AParser) {}
    void Mark() { P.Mark(); }
    void MoveWhile(const TTokenSet& Tokens) { P.MoveWhile(Tokens); }
    void MoveUntil(const TTokenSet& Tokens) { P.MoveUntil(Tokens); }
    void MoveUntilByte(uint8_t AByte) { P.MoveUntil(TTokenSet{AByte}); }
    void MoveOffset(int64_t AOffset) { P.MoveOffset(AOffset); }
    bool IsToken(const TTokenSet& Tokens) { return P.IsToken(Tokens); }
    bool ValidPos() { return P.ValidPos(); }
    std::string Read() { return P.Read(); }
    void ReadAppend(std::string& AText) { AText += P.Read(); }
    // The marked text, kept in AStore (the tokenizer hands out copies).
    std::string_view Peek(std::string& AStore)
    {
        AStore = P.Read();
        return AStore;
    }

private:
    TGenericParser& P;
};

class TTextCursor {
public:
    explicit TTextCursor(std::string_view AText)
        : FData(reinterpret_cast<const uint8_t*>(AText.data())), FEnd(static_cast<int64_t>(AText.size()))
    {
        // An empty view may hold no pointer at all: nothing to search then.
        if (AText.empty())
            return;
        if (const void* zero = std::memchr(AText.data(), 0, AText.size()))
            FEnd = static_cast<const char*>(zero) - AText.data();
    }
    void Mark() { FMark = FPos; }
    void MoveWhile(const TTokenSet& Tokens)
    {
        if (FPos < 0)
            return;
        while (FPos < FEnd && Tokens.Contains(FData[FPos]))
            ++FPos;
    }
    void MoveUntil(const TTokenSet& Tokens)
    {
        if (FPos < 0 || FPos >= FEnd)
            return;
        while (FPos < FEnd && !Tokens.Contains(FData[FPos]))
            ++FPos;
    }
    // A long run up to one byte value (a large attribute value) at memory speed; the first
    // bytes are looked at here, as most runs (names, short values) end within them.
    void MoveUntilByte(uint8_t AByte)
    {
        if (FPos < 0 || FPos >= FEnd)
            return;
        for (const int64_t near = std::min(FEnd, FPos + 16); FPos < near; ++FPos)
            if (FData[FPos] == AByte)
                return;
        if (FPos >= FEnd)
            return;
        const void* hit = std::memchr(FData + FPos, AByte, static_cast<size_t>(FEnd - FPos));
        FPos = hit ? static_cast<const uint8_t*>(hit) - FData : FEnd;
    }
    void MoveOffset(int64_t AOffset)
    {
        if (ValidPos())
            FPos += AOffset;
    }
    bool IsToken(const TTokenSet& Tokens) const
    {
        if (FPos < 0 || FPos >= FEnd)
            return Tokens.Contains(0);
        return Tokens.Contains(FData[FPos]);
    }
    bool ValidPos() const { return FPos >= 0 && FPos < FEnd; }
    std::string_view View() const
    {
        const int64_t stop = FPos < FEnd ? FPos : FEnd;
        if (FMark < 0 || stop - FMark <= 0)
            return {};
        return {reinterpret_cast<const char*>(FData + FMark), static_cast<size_t>(stop - FMark)};
    }
    std::string Read() const { return std::string(View()); }
    void ReadAppend(std::string& AText) const { AText.append(View()); }
    // The marked text itself; AStore is not needed.
    std::string_view Peek(std::string&) const { return View(); }

private:
    const uint8_t* FData;
    int64_t FEnd;
    int64_t FPos = 0;
    int64_t FMark = 0;
};
