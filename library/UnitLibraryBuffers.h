// The library's process-wide pair of buffers: one of bytes and one of text, each with a
// current position, created by Prepare and destroyed by CloseStreams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace UnitLibraryBuffers {

// Bytes with a position: writes overwrite at the position and extend past the end.
class TBinaryBuffer {
public:
    void Write(std::span<const uint8_t> bytes);
    size_t Read(std::span<uint8_t> out);
    void Seek(int64_t position);
    void Assign(std::vector<uint8_t> bytes);    // position moves to the end
    void Replace(std::vector<uint8_t> bytes);   // position kept while still inside
    void Clear();
    const std::vector<uint8_t>& Bytes() const { return FBytes; }
    size_t Position() const { return FPosition; }

private:
    std::vector<uint8_t> FBytes;
    size_t FPosition = 0;
};

// Text with a position: a write stores at the position and the text ends right after it.
class TTextBuffer {
public:
    void Write(std::string_view text);
    size_t Read(std::span<char> out);
    void Seek(int64_t position);   // clamped to 0 .. length
    void Assign(std::string text); // position moves to the end
    const std::string& Text() const { return FText; }
    size_t Position() const { return FPosition; }

private:
    std::string FText;
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
