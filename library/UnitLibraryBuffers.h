// The library's process-wide pair of buffers: one of bytes and one of text, each with a
// current position, created by Prepare and destroyed by CloseStreams.
//
// A document on its way through the buffers is held once. The text buffer can hold a long run
// of upper-case hex as the bytes it stands for (the "Content" of a signing request, or the
// hex answer Encode(12) gives of the byte buffer, which then shares the bytes with it); it
// reads exactly as the text, which is written out only when the text is changed or wanted
// whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitLibraryBuffers {

using TSharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

// Bytes with a position: writes overwrite at the position and extend past the end.
class TBinaryBuffer {
public:
    void Write(std::span<const uint8_t> bytes);
    size_t Read(std::span<uint8_t> out);
    void Seek(int64_t position);
    void Assign(std::vector<uint8_t> bytes);    // position moves to the end
    void Replace(std::vector<uint8_t> bytes);   // position kept while still inside
    void Clear();
    const std::vector<uint8_t>& Bytes() const { return *FBytes; }
    // The bytes as they stand, for a text that renders them; a later write does not change them.
    TSharedBytes Share() const { return FBytes; }
    size_t Position() const { return FPosition; }

private:
    std::shared_ptr<std::vector<uint8_t>> FBytes = std::make_shared<std::vector<uint8_t>>();
    size_t FPosition = 0;
};

// Text with a position: a write stores at the position and the text ends right after it.
class TTextBuffer {
public:
    void Write(std::string_view text);
    size_t Read(std::span<char> out);
    void Seek(int64_t position);   // clamped to 0 .. length
    void Assign(std::string text); // position moves to the end
    // The text becomes the upper-case hex of the bytes (Encode(12)), without writing it out.
    void AssignHexOf(TSharedBytes bytes);
    // The whole text (written out first when it is held as bytes); valid until the next change.
    std::string_view Text();
    size_t Size() const;
    size_t Position() const { return FPosition; }

    // Holds the text's characters [start, end) as the bytes they are the hex of, when they are
    // an even number of upper-case hex digits; false (and nothing changed) otherwise. The text
    // reads as before. The characters are let go as they are decoded, so the text and its
    // bytes are never held at once.
    bool HoldAsBytes(size_t start, size_t end);
    // The text as held: before the bytes, the bytes, after them; nothing for a plain text.
    struct THeld {
        std::string_view Before;
        std::span<const uint8_t> Bytes;
        std::string_view After;
    };
    std::optional<THeld> Held() const;

    TTextBuffer() = default;
    ~TTextBuffer();
    TTextBuffer(const TTextBuffer&) = delete;
    TTextBuffer& operator=(const TTextBuffer&) = delete;

private:
    void WriteOut();
    std::string_view Plain() const;
    void FreeGrown();

    // A plain text is either a whole string given to Assign, or what Write appended to, kept in
    // memory that grows in place (realloc: a large block is remapped, never copied, so a
    // document appended a slice at a time is in memory once while it grows).
    std::string FText;
    char* FGrown = nullptr;
    size_t FGrownSize = 0, FGrownCapacity = 0;
    bool FIsGrown = false;
    // Set when the text is FBefore + hex(FBytes) + FAfter; FText is then empty.
    TSharedBytes FBytes;
    std::string FBefore, FAfter;
    size_t FPosition = 0;
};

struct TBuffers {
    TBinaryBuffer Binary;
    TTextBuffer Text;
};

// The current pair, or nullptr before Prepare and after CloseStreams.
TBuffers* Current();
void Prepare();
void Close();

}  // namespace UnitLibraryBuffers
