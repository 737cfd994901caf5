#include "library/UnitLibraryBuffers.h"

#include <algorithm>
#include <cstring>

namespace UnitLibraryBuffers {

namespace {
std::unique_ptr<TBuffers>& Slot()
{
    static std::unique_ptr<TBuffers> buffers;
    return buffers;
}
}  // namespace

void TBinaryBuffer::Write(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return;
    if (FPosition + bytes.size() > FBytes.size())
        FBytes.resize(FPosition + bytes.size());
    std::memcpy(FBytes.data() + FPosition, bytes.data(), bytes.size());
    FPosition += bytes.size();
}

size_t TBinaryBuffer::Read(std::span<uint8_t> out)
{
    if (FPosition >= FBytes.size())
        return 0;
    const size_t count = std::min(out.size(), FBytes.size() - FPosition);
    std::memcpy(out.data(), FBytes.data() + FPosition, count);
    FPosition += count;
    return count;
}

void TBinaryBuffer::Seek(int64_t position)
{
    // A position past the end is allowed (it reads nothing); a negative one is not.
    FPosition = position < 0 ? FBytes.size() : static_cast<size_t>(position);
}

void TBinaryBuffer::Assign(std::vector<uint8_t> bytes)
{
    FBytes = std::move(bytes);
    FPosition = FBytes.size();
}

void TBinaryBuffer::Replace(std::vector<uint8_t> bytes)
{
    FBytes = std::move(bytes);
    FPosition = std::min(FPosition, FBytes.size());
}

void TBinaryBuffer::Clear()
{
    FBytes.clear();
    FPosition = 0;
}

void TTextBuffer::Write(std::string_view text)
{
    FText.resize(FPosition);
    FText.append(text);
    FPosition = FText.size();
}

size_t TTextBuffer::Read(std::span<char> out)
{
    const size_t count = std::min(out.size(), FText.size() - FPosition);
    if (count > 0)
        std::memcpy(out.data(), FText.data() + FPosition, count);
    FPosition += count;
    return count;
}

void TTextBuffer::Seek(int64_t position)
{
    FPosition = static_cast<size_t>(std::clamp<int64_t>(position, 0, static_cast<int64_t>(FText.size())));
}

void TTextBuffer::Assign(std::string text)
{
    // Swapped, not move-assigned: a move of a short text keeps the old allocation, and the
    // old text may be the size of a whole document. It is freed with `text` here.
    FText.swap(text);
    FPosition = FText.size();
}

TBuffers* Current()
{
    return Slot().get();
}

void Prepare()
{
    Slot().reset();   // release the old pair before a large one is replaced
    Slot() = std::make_unique<TBuffers>();
}

void Close()
{
    Slot().reset();
}

}  // namespace UnitLibraryBuffers
