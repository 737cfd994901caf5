#include "library/UnitLibraryBuffers.h"

#include "encoding/UnitCodecs.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace UnitLibraryBuffers {

namespace {
std::unique_ptr<TBuffers>& Slot()
{
    static std::unique_ptr<TBuffers> buffers;
    return buffers;
}

// Copies the hex of bytes, starting at hex character `from`, into out; returns the count.
size_t ReadHex(std::span<const uint8_t> bytes, size_t from, std::span<char> out)
{
    const size_t total = 2 * bytes.size();
    if (from >= total)
        return 0;
    const size_t count = std::min(out.size(), total - from);
    size_t i = 0;
    if (from % 2 == 1)  // the second digit of a byte
        out[i++] = UnitCodecs::HexPair(bytes[from / 2])[1];
    for (; i + 1 < count; i += 2)
        std::memcpy(&out[i], UnitCodecs::HexPair(bytes[(from + i) / 2]).data(), 2);
    if (i < count)      // the first digit of the last byte asked for
        out[i] = UnitCodecs::HexPair(bytes[(from + i) / 2])[0];
    return count;
}

// Gives the whole pages of [begin, end) of a buffer about to be freed back to the system now;
// returns where the released pages end (begin when none was).
const char* Release(const char* begin, const char* end)
{
    static const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) / page * page;
    const uintptr_t last = reinterpret_cast<uintptr_t>(end) / page * page;
    if (last <= first)
        return begin;
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    return begin + (last - reinterpret_cast<uintptr_t>(begin));
}

}  // namespace

void TBinaryBuffer::Write(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return;
    // A text rendering the bytes keeps the ones it was given.
    if (FBytes.use_count() > 1)
        FBytes = std::make_shared<std::vector<uint8_t>>(*FBytes);
    std::vector<uint8_t>& data = *FBytes;
    if (FPosition + bytes.size() > data.size())
        data.resize(FPosition + bytes.size());
    std::memcpy(data.data() + FPosition, bytes.data(), bytes.size());
    FPosition += bytes.size();
}

size_t TBinaryBuffer::Read(std::span<uint8_t> out)
{
    const std::vector<uint8_t>& data = *FBytes;
    if (FPosition >= data.size())
        return 0;
    const size_t count = std::min(out.size(), data.size() - FPosition);
    std::memcpy(out.data(), data.data() + FPosition, count);
    FPosition += count;
    return count;
}

void TBinaryBuffer::Seek(int64_t position)
{
    // A position past the end is allowed (it reads nothing); a negative one is not.
    FPosition = position < 0 ? FBytes->size() : static_cast<size_t>(position);
}

void TBinaryBuffer::Assign(std::vector<uint8_t> bytes)
{
    FBytes = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
    FPosition = FBytes->size();
}

void TBinaryBuffer::Replace(std::vector<uint8_t> bytes)
{
    FBytes = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
    FPosition = std::min(FPosition, FBytes->size());
}

void TBinaryBuffer::Clear()
{
    FBytes = std::make_shared<std::vector<uint8_t>>();
    FPosition = 0;
}

TTextBuffer::~TTextBuffer()
{
    FreeGrown();
}

void TTextBuffer::FreeGrown()
{
    std::free(FGrown);
    FGrown = nullptr;
    FGrownSize = FGrownCapacity = 0;
    FIsGrown = false;
}

std::string_view TTextBuffer::Plain() const
{
    return FIsGrown ? std::string_view(FGrown, FGrownSize) : std::string_view(FText);
}

size_t TTextBuffer::Size() const
{
    return FBytes ? FBefore.size() + 2 * FBytes->size() + FAfter.size() : Plain().size();
}

void TTextBuffer::WriteOut()
{
    if (!FBytes)
        return;
    std::string text;
    text.reserve(Size());
    text.append(FBefore);
    text.append(UnitCodecs::HexEncode(*FBytes));
    text.append(FAfter);
    FBytes.reset();
    std::string().swap(FBefore);
    std::string().swap(FAfter);
    FText.swap(text);
}

void TTextBuffer::Write(std::string_view text)
{
    WriteOut();
    if (!FIsGrown) {
        // The text given whole moves into memory that can grow.
        const std::string old = std::exchange(FText, std::string());
        FIsGrown = true;
        FGrownSize = 0;
        if (!old.empty()) {
            FGrownSize = 0;
            Write(std::string_view(old).substr(0, FPosition));
            return Write(text);
        }
    }
    FGrownSize = std::min(FGrownSize, FPosition);
    const size_t needed = FGrownSize + text.size();
    if (needed > FGrownCapacity) {
        const size_t capacity = std::max(needed, FGrownCapacity + FGrownCapacity / 2);
        char* grown = static_cast<char*>(std::realloc(FGrown, capacity));
        if (!grown)
            throw std::bad_alloc();
        FGrown = grown;
        FGrownCapacity = capacity;
    }
    if (!text.empty())
        std::memcpy(FGrown + FGrownSize, text.data(), text.size());
    FGrownSize = needed;
    FPosition = FGrownSize;
}

size_t TTextBuffer::Read(std::span<char> out)
{
    if (!FBytes) {
        const std::string_view plain = Plain();
        const size_t count = std::min(out.size(), plain.size() - FPosition);
        if (count > 0)
            std::memcpy(out.data(), plain.data() + FPosition, count);
        FPosition += count;
        return count;
    }
    size_t done = 0;
    auto part = [&](size_t start, size_t length, auto&& copy) {
        if (done == out.size() || FPosition >= start + length || FPosition < start)
            return;
        const size_t n = copy(FPosition - start, out.subspan(done));
        done += n;
        FPosition += n;
    };
    const size_t hexStart = FBefore.size();
    const size_t hexLength = 2 * FBytes->size();
    part(0, FBefore.size(), [&](size_t from, std::span<char> to) {
        const size_t n = std::min(to.size(), FBefore.size() - from);
        std::memcpy(to.data(), FBefore.data() + from, n);
        return n;
    });
    part(hexStart, hexLength, [&](size_t from, std::span<char> to) { return ReadHex(*FBytes, from, to); });
    part(hexStart + hexLength, FAfter.size(), [&](size_t from, std::span<char> to) {
        const size_t n = std::min(to.size(), FAfter.size() - from);
        std::memcpy(to.data(), FAfter.data() + from, n);
        return n;
    });
    return done;
}

void TTextBuffer::Seek(int64_t position)
{
    FPosition = static_cast<size_t>(std::clamp<int64_t>(position, 0, static_cast<int64_t>(Size())));
}

void TTextBuffer::Assign(std::string text)
{
    FreeGrown();
    FBytes.reset();
    std::string().swap(FBefore);
    std::string().swap(FAfter);
    // Swapped, not move-assigned: a move of a short text keeps the old allocation, and the
    // old text may be the size of a whole document. It is freed with `text` here.
    FText.swap(text);
    FPosition = FText.size();
}

void TTextBuffer::AssignHexOf(TSharedBytes bytes)
{
    Assign(std::string());
    FBytes = bytes ? std::move(bytes) : std::make_shared<const std::vector<uint8_t>>();
    FPosition = Size();
}

std::string_view TTextBuffer::Text()
{
    WriteOut();
    return Plain();
}

bool TTextBuffer::HoldAsBytes(size_t start, size_t end)
{
    const std::string_view plain = Plain();
    if (FBytes || start > end || end > plain.size() || (end - start) % 2 != 0)
        return false;
    const auto* hex = reinterpret_cast<const uint8_t*>(plain.data());
    // All upper-case digits first: the text may not be changed by a failure halfway. (Above
    // 'F' only the lower-case digits have a value.)
    unsigned bad = 0;
    for (size_t i = start; i < end; ++i)
        bad |= static_cast<unsigned>(UnitCodecs::kHex.values[hex[i]] >> 4) | unsigned{hex[i] > 'F'};
    if (bad)
        return false;
    // Reserved, not sized: the bytes take memory only as they are decoded.
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    bytes->reserve((end - start) / 2);
    FBefore.assign(plain.substr(0, start));
    FAfter.assign(plain.substr(end));
    constexpr size_t Slice = size_t{8} << 20;
    std::vector<uint8_t> part(Slice / 2);
    const char* released = plain.data() + start;
    for (size_t pos = start; pos < end;) {
        const size_t stop = std::min(end, pos + Slice);
        uint8_t* out = part.data();
        for (; pos < stop; pos += 2)
            *out++ = static_cast<uint8_t>(UnitCodecs::kHex.values[hex[pos]] << 4 | UnitCodecs::kHex.values[hex[pos + 1]]);
        bytes->insert(bytes->end(), part.data(), out);
        // What is decoded is never read again: its memory goes now, not with the whole text.
        released = Release(released, plain.data() + pos);
    }
    std::string().swap(FText);
    FreeGrown();
    FBytes = std::move(bytes);
    return true;
}

std::optional<TTextBuffer::THeld> TTextBuffer::Held() const
{
    if (!FBytes)
        return std::nullopt;
    return THeld{FBefore, *FBytes, FAfter};
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
