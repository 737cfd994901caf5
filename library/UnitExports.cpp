// The buffer and stream exports. Each export catches everything: a failure becomes the
// documented failure result (0, an empty buffer, an unchanged buffer) and a trace line; no
// exception ever unwinds into the caller. Calls made without buffers (before Prepare or
// after CloseStreams) do nothing and return 0.
#define DORVIK_BUILDING
#include "library/dorvik.h"

#include "actions/UnitPlugActions.h"
#include "actions/UnitActionEncodings.h"
#include "actions/UnitPlugins.h"
#include "encoding/UnitEncoding.h"
#include "library/UnitImageLibrary.h"
#include "library/UnitLibraryBuffers.h"
#include "library/UnitLibraryFiles.h"
#include "library/UnitLibrarySigning.h"
#include "library/UnitXmlHandles.h"
#include "platform/UnitTrace.h"

#include <cstring>
#include <exception>
#include <string>
#include <string_view>

using namespace UnitLibraryBuffers;

namespace {

void TraceFailure(const char* where) noexcept
{
    try {
        std::string line = std::string(where) + ": ";
        try {
            throw;
        } catch (const std::exception& e) {
            line += e.what();
        } catch (...) {
            line += "unknown failure";
        }
        UnitTrace::Trace(line);
    } catch (...) {
    }
}

// Runs fn on the current buffers; without buffers, or when fn throws, returns fallback.
template <class R, class F> R WithBuffers(const char* where, R fallback, F&& fn) noexcept
{
    try {
        TBuffers* buffers = Current();
        if (!buffers)
            return fallback;
        return fn(*buffers);
    } catch (...) {
        TraceFailure(where);
        return fallback;
    }
}

int32_t SizeResult(size_t size)
{
    return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
}

std::string_view CText(const char* text)
{
    return text ? std::string_view(text) : std::string_view();
}

}  // namespace

extern "C" {

DORVIK_API const char* DorvikVersion(void) noexcept
{
    return DORVIK_VERSION_TEXT;
}

DORVIK_API void Prepare(void) noexcept
{
    try {
        UnitLibraryBuffers::Prepare();
    } catch (...) {
        TraceFailure("Prepare");
        UnitLibraryBuffers::Close();
    }
}

DORVIK_API void CloseStreams(void) noexcept
{
    UnitLibraryBuffers::Close();
}

DORVIK_API void SetChunck(const void* bytes, int32_t count) noexcept
{
    WithBuffers("SetChunck", 0, [&](TBuffers& b) {
        if (bytes && count > 0)
            b.Binary.Write({static_cast<const uint8_t*>(bytes), static_cast<size_t>(count)});
        return 0;
    });
}

DORVIK_API void AppendChunck(const void* bytes, int32_t count) noexcept
{
    SetChunck(bytes, count);
}

DORVIK_API void AppendChunckByte(int32_t value) noexcept
{
    const uint8_t byte = static_cast<uint8_t>(value & 0xFF);
    SetChunck(&byte, 1);
}

DORVIK_API int32_t GetChunck(void* bytes, int32_t count) noexcept
{
    return WithBuffers("GetChunck", 0, [&](TBuffers& b) {
        b.Binary.Seek(0);
        if (!bytes || count <= 0)
            return 0;
        return SizeResult(b.Binary.Read({static_cast<uint8_t*>(bytes), static_cast<size_t>(count)}));
    });
}

DORVIK_API int32_t ReadChunck(int32_t offset, int32_t count, void* bytes) noexcept
{
    return WithBuffers("ReadChunck", 0, [&](TBuffers& b) {
        if (offset < 0)
            return 0;
        b.Binary.Seek(offset);
        if (!bytes || count <= 0)
            return 0;
        return SizeResult(b.Binary.Read({static_cast<uint8_t*>(bytes), static_cast<size_t>(count)}));
    });
}

DORVIK_API void AppendTextChunck(const char* text, int32_t /*length*/) noexcept
{
    WithBuffers("AppendTextChunck", 0, [&](TBuffers& b) {
        b.Text.Write(CText(text));
        return 0;
    });
}

DORVIK_API int32_t ReadTextChunck(int32_t offset, int32_t count, char* bytes) noexcept
{
    return WithBuffers("ReadTextChunck", 0, [&](TBuffers& b) {
        b.Text.Seek(offset);
        if (!bytes || count <= 0)
            return 0;
        return SizeResult(b.Text.Read({bytes, static_cast<size_t>(count)}));
    });
}

DORVIK_API int32_t CopyTextToBinary(void) noexcept
{
    return WithBuffers("CopyTextToBinary", 0, [&](TBuffers& b) {
        const std::string_view text = b.Text.Text();
        b.Binary.Assign(std::vector<uint8_t>(text.begin(), text.end()));
        return SizeResult(b.Binary.Bytes().size());
    });
}

DORVIK_API int32_t CopyBinaryToText(void) noexcept
{
    return WithBuffers("CopyBinaryToText", 0, [&](TBuffers& b) {
        const auto& bytes = b.Binary.Bytes();
        b.Text.Assign(std::string(bytes.begin(), bytes.end()));
        return SizeResult(b.Text.Size());
    });
}

DORVIK_API int32_t Encode(int32_t encoding) noexcept
{
    return WithBuffers("Encode", 0, [&](TBuffers& b) {
        // The new text replaces the old whole; moved in, as it may be large. The old one goes
        // first: a signing request's text and its answer are each twice the document.
        b.Text.Assign(std::string());
        if (encoding == 12)
            b.Text.AssignHexOf(b.Binary.Share());  // read out as hex, a slice at a time
        else
            b.Text.Assign(UnitEncoding::EncodeBytes(b.Binary.Bytes(), encoding, UnitActionEncodings::Table()));
        return SizeResult(b.Text.Size());
    });
}

DORVIK_API int32_t Decode(int32_t encoding) noexcept
{
    return WithBuffers("Decode", 0, [&](TBuffers& b) {
        try {
            // A signing request's document is kept in the text as its bytes and signed from there.
            if (encoding == 14)
                if (auto der = UnitLibrarySigning::DecodeSigningRequest(b.Text)) {
                    b.Binary.Replace(*der ? std::move(**der) : std::vector<uint8_t>());
                    return SizeResult(b.Binary.Bytes().size());
                }
            auto bytes = UnitEncoding::DecodeText(b.Text.Text(), encoding, UnitActionEncodings::Table());
            b.Binary.Replace(bytes ? std::move(*bytes) : std::vector<uint8_t>());
        } catch (...) {
            // A codec error (a damaged compressed payload, a bad pad digit) rejects the text.
            TraceFailure("Decode");
            b.Binary.Replace({});
        }
        return SizeResult(b.Binary.Bytes().size());
    });
}

DORVIK_API int32_t Transform(const char* templateText) noexcept
{
    return WithBuffers("Transform", 0, [&](TBuffers& b) {
        std::string output;
        if (!UnitXmlHandles::RunConversion(b.Text.Text(), CText(templateText), output))
            output.clear();
        b.Text.Assign(std::move(output));
        return SizeResult(b.Text.Size());
    });
}

DORVIK_API int32_t LoadBinaryFromFile(const char* fileName) noexcept
{
    return WithBuffers("LoadBinaryFromFile", 0, [&](TBuffers& b) {
        auto bytes = UnitLibraryFiles::ReadWholeFile(CText(fileName));
        if (!bytes)
            return 0;
        b.Binary.Assign(std::move(*bytes));
        return SizeResult(b.Binary.Bytes().size());
    });
}

DORVIK_API int32_t SaveBinaryToFile(const char* fileName) noexcept
{
    return WithBuffers("SaveBinaryToFile", 0, [&](TBuffers& b) {
        const auto& bytes = b.Binary.Bytes();
        if (!UnitLibraryFiles::SaveFileSafely(CText(fileName), {reinterpret_cast<const char*>(bytes.data()), bytes.size()}))
            return 0;
        return SizeResult(bytes.size());
    });
}

DORVIK_API int32_t LoadTextFromFile(const char* fileName) noexcept
{
    return WithBuffers("LoadTextFromFile", 0, [&](TBuffers& b) {
        auto bytes = UnitLibraryFiles::ReadWholeFile(CText(fileName));
        if (!bytes)
            return 0;
        b.Text.Write({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
        return SizeResult(b.Text.Size());
    });
}

DORVIK_API int32_t SaveTextToFile(const char* fileName) noexcept
{
    return WithBuffers("SaveTextToFile", 0, [&](TBuffers& b) {
        if (!UnitLibraryFiles::SaveFileSafely(CText(fileName), b.Text.Text()))
            return 0;
        return SizeResult(b.Text.Size());
    });
}

DORVIK_API int32_t HashFile(const char* fileName, int32_t algorithm) noexcept
{
    return WithBuffers("HashFile", 0, [&](TBuffers& b) {
        try {
            if (auto digest = UnitLibraryFiles::DigestFileHex(CText(fileName), algorithm & 0xFF))
                b.Text.Write(*digest);
        } catch (...) {
            TraceFailure("HashFile");
        }
        return SizeResult(b.Text.Size());
    });
}

DORVIK_API int32_t GetError(char* buffer, int32_t size) noexcept
{
    try {
        const std::string status = UnitEncoding::ConversionStatus();
        const int32_t n = SizeResult(status.size());
        if (n > size || !buffer)
            return -n;
        std::memcpy(buffer, status.data(), status.size());
        buffer[status.size()] = '\0';
        return n;
    } catch (...) {
        TraceFailure("GetError");
        return 0;
    }
}

DORVIK_API int32_t LoadImageFromFile(const char* fileName, int32_t maxSide) noexcept
{
    return WithBuffers("LoadImageFromFile", 0, [&](TBuffers& b) {
        auto jpeg = UnitImageLibrary::LoadAsJpeg(UnitLibraryFiles::FileSystemName(CText(fileName)), maxSide);
        if (!jpeg)
            return 0;
        b.Binary.Assign(std::move(*jpeg));
        return SizeResult(b.Binary.Bytes().size());
    });
}

DORVIK_API void RescaleImage(int32_t width, int32_t height) noexcept
{
    WithBuffers("RescaleImage", 0, [&](TBuffers& b) {
        if (auto jpeg = UnitImageLibrary::RescaleToJpeg(b.Binary.Bytes(), width, height))
            b.Binary.Assign(std::move(*jpeg));
        return 0;
    });
}

}  // extern "C"

// ---- Plugin entry

extern "C" DORVIK_API void PluginProc(int32_t code, void* data, int32_t* length, int32_t* status) noexcept
{
    UnitPlugins::Register();
    UnitPlugActions::LibraryEntry(code, data, length, status);
}
