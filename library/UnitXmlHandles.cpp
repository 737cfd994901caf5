// The XML handle exports: other programs build, query, transform and store trees by integer
// handle. Handles are numbered 1, 2, 3, ... in creation order and never reused while the
// library stays loaded. Every export catches everything: a failure inside returns the result
// the export gives for an unknown handle, leaves the handle's prepared text as it was, and puts
// its word in the conversion status that GetError reads.
#define DORVIK_BUILDING
#include "library/dorvik.h"

#include "core/UnitStatusWords.h"
#include "core/UnitXmlDoc.h"
#include "encoding/UnitEncoding.h"
#include "library/UnitImageLibrary.h"
#include "library/UnitLibraryFiles.h"
#include "library/UnitXmlHandles.h"
#include "platform/UnitTrace.h"
#include "xmllang/UnitXmlConversion.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct TXmlDocIntf {
    int32_t Handle = 0;
    TXmlDoc Root;
    std::string Prepared;
};

// The process-wide table. Records are few and looked up by a scan, as handles are small.
struct THandleTable {
    std::vector<std::unique_ptr<TXmlDocIntf>> Records;
    int32_t Counter = 0;

    TXmlDocIntf* Find(int32_t AHandle) const
    {
        if (AHandle <= 0)
            return nullptr;
        for (const auto& r : Records)
            if (r->Handle == AHandle)
                return r.get();
        return nullptr;
    }
};

THandleTable& Table()
{
    static THandleTable table;
    return table;
}

std::string_view CText(const char* text) { return text ? std::string_view(text) : std::string_view(); }
std::string Str(const char* text) { return text ? std::string(text) : std::string(); }

// The word a failure leaves in the conversion status.
void RecordFailure(const char* where) noexcept
{
    try {
        std::string word(Words::XmlOperationFailed);
        std::string detail;
        try {
            throw;
        } catch (const EConvertError& e) {
            word = Words::ConvertError;
            detail = e.what();
        } catch (const std::bad_alloc&) {
            word = Words::OutOfMemory;
        } catch (const std::exception& e) {
            detail = e.what();
        } catch (...) {
        }
        UnitEncoding::SetConversionStatus(word);
        UnitTrace::Trace(std::string(where) + ": " + word + (detail.empty() ? "" : " " + detail));
    } catch (...) {
    }
}

// Runs fn on the record of a handle; an unknown handle or a failure gives fallback.
template <class R, class F> R WithHandle(const char* where, int32_t handle, R fallback, F&& fn) noexcept
{
    try {
        TXmlDocIntf* record = Table().Find(handle);
        if (!record)
            return fallback;
        return fn(*record);
    } catch (...) {
        RecordFailure(where);
        return fallback;
    }
}

TXmlDoc& NodeAt(TXmlDocIntf& record, const char* path)
{
    const std::string_view p = CText(path);
    return p.empty() ? record.Root : *record.Root.GetNode(p);
}

int32_t SizeResult(size_t size) { return size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size); }

// Text out through a caller buffer of size + 1 bytes: the full length is returned; the text is
// copied (zero-terminated) only when it fits, and then its length up to a zero byte is returned.
int32_t CopyOut(const std::string& text, char* buffer, int32_t size)
{
    if (!buffer || size < 0 || static_cast<size_t>(size) < text.size())
        return SizeResult(text.size());
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return SizeResult(std::strlen(buffer));
}

}  // namespace

namespace UnitXmlHandles {

bool RunConversion(std::string_view InputText, std::string_view TemplateText, std::string& OutputText)
{
    TXmlLanguageServices services;
    services.LoadJpeg = [](const std::string& fileName, int maxSide) {
        return UnitImageLibrary::LoadAsJpeg(UnitLibraryFiles::FileSystemName(fileName), maxSide);
    };
    TXmlConversion conversion(std::move(services));
    return conversion.Convert(InputText, TemplateText, OutputText);
}

}  // namespace UnitXmlHandles

extern "C" {

DORVIK_API int32_t CreateXml(void) noexcept
{
    try {
        THandleTable& table = Table();
        if (table.Counter == INT32_MAX)
            return 0;
        auto record = std::make_unique<TXmlDocIntf>();
        record->Handle = table.Counter + 1;
        table.Records.push_back(std::move(record));
        table.Counter = table.Records.back()->Handle;
        return table.Counter;
    } catch (...) {
        RecordFailure("CreateXml");
        return 0;
    }
}

DORVIK_API void DestroyXml(int32_t handle) noexcept
{
    try {
        auto& records = Table().Records;
        for (auto it = records.begin(); it != records.end(); ++it)
            if ((*it)->Handle == handle) {
                records.erase(it);
                return;
            }
    } catch (...) {
        RecordFailure("DestroyXml");
    }
}

DORVIK_API int32_t GetNodeCount(int32_t handle, const char* path, const char* name) noexcept
{
    return WithHandle("GetNodeCount", handle, 0, [&](TXmlDocIntf& r) {
        TXmlDoc& node = NodeAt(r, path);
        const std::string_view n = CText(name);
        if (n.empty())
            return node.GetNodeCount();
        int32_t count = 0;
        for (int i = 0; i < node.GetNodeCount(); ++i)
            count += node.ChildAt(static_cast<size_t>(i))->GetName() == n;
        return count;
    });
}

DORVIK_API int32_t NewNode(int32_t handle, const char* path, const char* name) noexcept
{
    return WithHandle("NewNode", handle, -1, [&](TXmlDocIntf& r) {
        TXmlDoc& node = NodeAt(r, path);
        node.New(Str(name));
        return node.GetNodeCount() - 1;
    });
}

DORVIK_API void SetNodeName(int32_t handle, const char* path, const char* name) noexcept
{
    WithHandle("SetNodeName", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SetName(Str(name));
        return 0;
    });
}

DORVIK_API int32_t GetNodeName(int32_t handle, const char* path, char* buffer, int32_t size) noexcept
{
    return WithHandle("GetNodeName", handle, 0, [&](TXmlDocIntf& r) { return CopyOut(NodeAt(r, path).GetName(), buffer, size); });
}

DORVIK_API void SetNodeValue(int32_t handle, const char* path, const char* value) noexcept
{
    WithHandle("SetNodeValue", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SetValue(Str(value));
        return 0;
    });
}

DORVIK_API int32_t GetNodeValue(int32_t handle, const char* path, char* buffer, int32_t size) noexcept
{
    return WithHandle("GetNodeValue", handle, 0, [&](TXmlDocIntf& r) { return CopyOut(NodeAt(r, path).GetValue(), buffer, size); });
}

DORVIK_API int32_t GetNodePropertyCount(int32_t handle, const char* path) noexcept
{
    return WithHandle("GetNodePropertyCount", handle, 0, [&](TXmlDocIntf& r) { return NodeAt(r, path).GetPropertyCount(); });
}

DORVIK_API void SetNodePropertyName(int32_t handle, const char* path, int32_t index, const char* name) noexcept
{
    WithHandle("SetNodePropertyName", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).GetPropertyByIndex(index)->SetName(Str(name));
        return 0;
    });
}

DORVIK_API int32_t GetNodePropertyName(int32_t handle, const char* path, int32_t index, char* buffer, int32_t size) noexcept
{
    return WithHandle("GetNodePropertyName", handle, 0, [&](TXmlDocIntf& r) {
        const std::string name = NodeAt(r, path).GetPropertyByIndex(index)->GetName();
        return CopyOut(name, buffer, size);
    });
}

DORVIK_API void SetNodePropertyValue(int32_t handle, const char* path, const char* propName, const char* value) noexcept
{
    WithHandle("SetNodePropertyValue", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).Setp(CText(propName), Str(value));
        return 0;
    });
}

DORVIK_API int32_t GetNodePropertyValue(int32_t handle, const char* path, const char* propName, char* buffer, int32_t size) noexcept
{
    return WithHandle("GetNodePropertyValue", handle, 0,
                      [&](TXmlDocIntf& r) { return CopyOut(NodeAt(r, path).Getp(CText(propName)), buffer, size); });
}

DORVIK_API int32_t PrepareXml(int32_t handle, const char* path) noexcept
{
    return WithHandle("PrepareXml", handle, 0, [&](TXmlDocIntf& r) {
        std::string text = NodeAt(r, path).GetXML();
        r.Prepared = std::move(text);
        return SizeResult(r.Prepared.size());
    });
}

DORVIK_API int32_t PrepareChildrenXml(int32_t handle, const char* path) noexcept
{
    return WithHandle("PrepareChildrenXml", handle, 0, [&](TXmlDocIntf& r) {
        std::string text = NodeAt(r, path).GetChildrenXML();
        r.Prepared = std::move(text);
        return SizeResult(r.Prepared.size());
    });
}

DORVIK_API int32_t TransformXml(int32_t handle, const char* path, const char* templateText) noexcept
{
    return WithHandle("TransformXml", handle, 0, [&](TXmlDocIntf& r) {
        const std::string input = NodeAt(r, path).GetXML();
        std::string output;
        if (!UnitXmlHandles::RunConversion(input, CText(templateText), output))
            output.clear();
        r.Prepared = std::move(output);
        return SizeResult(r.Prepared.size());
    });
}

DORVIK_API int32_t GetXml(int32_t handle, char* buffer, int32_t size) noexcept
{
    return WithHandle("GetXml", handle, 0, [&](TXmlDocIntf& r) {
        if (!buffer)
            return 0;
        const size_t n = size <= 0 ? 0 : std::min(static_cast<size_t>(size), r.Prepared.size());
        std::memcpy(buffer, r.Prepared.data(), n);
        buffer[n] = '\0';
        return SizeResult(std::strlen(buffer));
    });
}

DORVIK_API void SetXml(int32_t handle, const char* path, const char* text) noexcept
{
    WithHandle("SetXml", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SetXML(CText(text));
        return 0;
    });
}

DORVIK_API void SetChildrenXml(int32_t handle, const char* path, const char* text) noexcept
{
    WithHandle("SetChildrenXml", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SetChildrenXML(CText(text));
        return 0;
    });
}

DORVIK_API void SortNode(int32_t handle, const char* path, int32_t hierarchy) noexcept
{
    WithHandle("SortNode", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SortNodes(hierarchy > 0, std::string());
        return 0;
    });
}

DORVIK_API void SortNode2(int32_t handle, const char* path, const char* sortPath) noexcept
{
    WithHandle("SortNode2", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SortNodes(false, Str(sortPath));
        return 0;
    });
}

DORVIK_API int32_t LoadFromFile(int32_t handle, const char* path, const char* fileName) noexcept
{
    return WithHandle("LoadFromFile", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).LoadFromFile(Str(fileName));
        return 1;
    });
}

DORVIK_API int32_t SaveToFile(int32_t handle, const char* path, const char* fileName) noexcept
{
    return WithHandle("SaveToFile", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).SaveToFile(Str(fileName));
        return 1;
    });
}

DORVIK_API void DeleteNode(int32_t handle, const char* path, const char* name) noexcept
{
    WithHandle("DeleteNode", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).DeleteNode(CText(name));
        return 0;
    });
}

DORVIK_API int32_t GetNodeIndex(int32_t handle, const char* path, const char* name) noexcept
{
    return WithHandle("GetNodeIndex", handle, -1, [&](TXmlDocIntf& r) {
        TXmlDoc& node = NodeAt(r, path);
        const std::string_view n = CText(name);
        for (int i = 0; i < node.GetNodeCount(); ++i)
            if (node.ChildAt(static_cast<size_t>(i))->GetName() == n)
                return i;
        return -1;
    });
}

DORVIK_API void DeleteProperty(int32_t handle, const char* path, const char* propName) noexcept
{
    WithHandle("DeleteProperty", handle, 0, [&](TXmlDocIntf& r) {
        NodeAt(r, path).DeleteProperty(CText(propName));
        return 0;
    });
}

DORVIK_API int32_t GetPropertyIndex(int32_t handle, const char* path, const char* propName) noexcept
{
    return WithHandle("GetPropertyIndex", handle, -1, [&](TXmlDocIntf& r) {
        TXmlDoc& node = NodeAt(r, path);
        const std::string_view n = CText(propName);
        for (int i = 0; i < node.GetPropertyCount(); ++i)
            if (node.GetPropertyByIndex(i)->GetName() == n)
                return i;
        return -1;
    });
}

}  // extern "C"
