#include "library/UnitImageLibrary.h"

#include <FreeImage.h>
#include <dlfcn.h>

#include <memory>

namespace UnitImageLibrary {

namespace {

// The FreeImage entry points we use, looked up by name.
struct TFreeImage {
    decltype(&FreeImage_GetFileType) GetFileType = nullptr;
    decltype(&FreeImage_GetFIFFromFilename) GetFIFFromFilename = nullptr;
    decltype(&FreeImage_Load) Load = nullptr;
    decltype(&FreeImage_Unload) Unload = nullptr;
    decltype(&FreeImage_GetWidth) GetWidth = nullptr;
    decltype(&FreeImage_GetHeight) GetHeight = nullptr;
    decltype(&FreeImage_MakeThumbnail) MakeThumbnail = nullptr;
    decltype(&FreeImage_Rescale) Rescale = nullptr;
    decltype(&FreeImage_ConvertTo24Bits) ConvertTo24Bits = nullptr;
    decltype(&FreeImage_OpenMemory) OpenMemory = nullptr;
    decltype(&FreeImage_CloseMemory) CloseMemory = nullptr;
    decltype(&FreeImage_LoadFromMemory) LoadFromMemory = nullptr;
    decltype(&FreeImage_SaveToMemory) SaveToMemory = nullptr;
    decltype(&FreeImage_AcquireMemory) AcquireMemory = nullptr;
    decltype(&FreeImage_GetFileTypeFromMemory) GetFileTypeFromMemory = nullptr;
};

template <class F> bool Bind(void* handle, F& fn, const char* name)
{
    fn = reinterpret_cast<F>(dlsym(handle, name));
    return fn != nullptr;
}

const TFreeImage* Library()
{
    static TFreeImage lib;
    static bool ready = false;
    if (ready)
        return &lib;
    void* handle = dlopen("libfreeimage.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return nullptr;
    TFreeImage l;
    const bool ok = Bind(handle, l.GetFileType, "FreeImage_GetFileType")
        && Bind(handle, l.GetFIFFromFilename, "FreeImage_GetFIFFromFilename")
        && Bind(handle, l.Load, "FreeImage_Load") && Bind(handle, l.Unload, "FreeImage_Unload")
        && Bind(handle, l.GetWidth, "FreeImage_GetWidth") && Bind(handle, l.GetHeight, "FreeImage_GetHeight")
        && Bind(handle, l.MakeThumbnail, "FreeImage_MakeThumbnail")
        && Bind(handle, l.Rescale, "FreeImage_Rescale")
        && Bind(handle, l.ConvertTo24Bits, "FreeImage_ConvertTo24Bits")
        && Bind(handle, l.OpenMemory, "FreeImage_OpenMemory")
        && Bind(handle, l.CloseMemory, "FreeImage_CloseMemory")
        && Bind(handle, l.LoadFromMemory, "FreeImage_LoadFromMemory")
        && Bind(handle, l.SaveToMemory, "FreeImage_SaveToMemory")
        && Bind(handle, l.AcquireMemory, "FreeImage_AcquireMemory")
        && Bind(handle, l.GetFileTypeFromMemory, "FreeImage_GetFileTypeFromMemory");
    if (!ok) {
        dlclose(handle);
        return nullptr;
    }
    // The handle stays open for the life of the process: the bound pointers live on.
    lib = l;
    ready = true;
    return &lib;
}

struct TBitmapFree {
    const TFreeImage* Lib;
    void operator()(FIBITMAP* p) const noexcept { Lib->Unload(p); }
};
using TBitmapPtr = std::unique_ptr<FIBITMAP, TBitmapFree>;

struct TMemoryFree {
    const TFreeImage* Lib;
    void operator()(FIMEMORY* p) const noexcept { Lib->CloseMemory(p); }
};
using TMemoryPtr = std::unique_ptr<FIMEMORY, TMemoryFree>;

std::optional<std::vector<uint8_t>> SaveJpeg(const TFreeImage& lib, FIBITMAP* dib, int flags)
{
    TBitmapPtr rgb(lib.ConvertTo24Bits(dib), {&lib});
    if (!rgb)
        return std::nullopt;
    TMemoryPtr memory(lib.OpenMemory(nullptr, 0), {&lib});
    if (!memory || !lib.SaveToMemory(FIF_JPEG, rgb.get(), memory.get(), flags))
        return std::nullopt;
    BYTE* data = nullptr;
    DWORD size = 0;
    if (!lib.AcquireMemory(memory.get(), &data, &size))
        return std::nullopt;
    return std::vector<uint8_t>(data, data + size);
}

}  // namespace

bool Available()
{
    return Library() != nullptr;
}

TSize FitSize(int64_t sourceW, int64_t sourceH, int64_t width, int64_t height)
{
    if (sourceW <= 0 || sourceH <= 0)
        return {0, 0};
    TSize size{width, (width * sourceH + sourceW / 2) / sourceW};
    if (size.Height > height) {
        size.Height = height;
        size.Width = (height * sourceW + sourceH / 2) / sourceH;
    }
    return size;
}

std::optional<std::vector<uint8_t>> LoadAsJpeg(const std::string& fileName, int maxSide)
{
    const TFreeImage* lib = Library();
    if (!lib || maxSide <= 0)
        return std::nullopt;
    FREE_IMAGE_FORMAT format = lib->GetFileType(fileName.c_str(), 0);
    if (format == FIF_UNKNOWN)
        format = lib->GetFIFFromFilename(fileName.c_str());
    if (format == FIF_UNKNOWN)
        return std::nullopt;
    TBitmapPtr dib(lib->Load(format, fileName.c_str(), 0), {lib});
    if (!dib)
        return std::nullopt;
    const unsigned w = lib->GetWidth(dib.get());
    const unsigned h = lib->GetHeight(dib.get());
    if (w > static_cast<unsigned>(maxSide) || h > static_cast<unsigned>(maxSide)) {
        TBitmapPtr thumb(lib->MakeThumbnail(dib.get(), maxSide, TRUE), {lib});
        if (!thumb)
            return std::nullopt;
        dib = std::move(thumb);
    }
    return SaveJpeg(*lib, dib.get(), 90);
}

std::optional<std::vector<uint8_t>> RescaleToJpeg(const std::vector<uint8_t>& bytes, int width, int height)
{
    const TFreeImage* lib = Library();
    if (!lib || bytes.empty() || width <= 0 || height <= 0)
        return std::nullopt;
    // FreeImage reads the memory without changing it, but its signature wants a mutable pointer.
    TMemoryPtr memory(lib->OpenMemory(const_cast<BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())), {lib});
    if (!memory)
        return std::nullopt;
    const FREE_IMAGE_FORMAT format = lib->GetFileTypeFromMemory(memory.get(), 0);
    if (format == FIF_UNKNOWN)
        return std::nullopt;
    TBitmapPtr dib(lib->LoadFromMemory(format, memory.get(), 0), {lib});
    if (!dib)
        return std::nullopt;
    const TSize size = FitSize(lib->GetWidth(dib.get()), lib->GetHeight(dib.get()), width, height);
    if (size.Width <= 0 || size.Height <= 0 || size.Width > 65535 || size.Height > 65535)
        return std::nullopt;
    TBitmapPtr scaled(lib->Rescale(dib.get(), static_cast<int>(size.Width), static_cast<int>(size.Height), FILTER_BICUBIC), {lib});
    if (!scaled)
        return std::nullopt;
    return SaveJpeg(*lib, scaled.get(), JPEG_QUALITYSUPERB);
}

}  // namespace UnitImageLibrary
