// The tree of the whole system: a TXmlDoc is a node and the tree below it at once. Requests,
// responses, ASN.1 structures, settings and reports are all such trees. Names and values are
// 8-bit text; an empty string and an absent value are the same thing.
#pragma once

#include "core/UnitDateTime.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class TGenericParser;

// Raised for a non-numeric index inside braces in a path.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TCloneFlag : unsigned {
    cfAvoidReset = 1,
    cfAvoidName = 2,
    cfAvoidValue = 4,
    cfAvoidData = 8,
    cfAvoidProps = 16,
    cfAvoidNodes = 32,
    cfAvoidResetNodes = 64,
};
using TCloneFlags = unsigned;

class TXmlDoc;
using TXmlDocRenameEvent = std::function<void(TXmlDoc& Sender, const std::string& OldName, const std::string& NewName)>;
// Integers and Booleans select a child by index, a string is a path; other kinds select nothing.
using TNodeInfo = std::variant<std::monostate, bool, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t,
                               int64_t, uint64_t, double, std::string>;
using TXmlDocList = std::vector<TXmlDoc*>;

// Case-insensitive order of names (ASCII letters folded, other bytes by value).
struct TNameLess {
    using is_transparent = void;
    bool operator()(std::string_view A, std::string_view B) const noexcept;
};

class TXmlArena;
struct TXmlDocAside;
struct TXmlPropRecord;

// The OnRename slot of a node: empty, bound by the tree to the parent's name index, or a
// caller's callback (kept on the heap, so a node without one pays one pointer).
class TXmlRenameSlot {
public:
    TXmlRenameSlot() = default;
    ~TXmlRenameSlot() { Reset(); }
    TXmlRenameSlot(const TXmlRenameSlot&) = delete;
    TXmlRenameSlot& operator=(const TXmlRenameSlot&) = delete;
    TXmlRenameSlot& operator=(TXmlDocRenameEvent AEvent);
    TXmlRenameSlot& operator=(std::nullptr_t)
    {
        Reset();
        return *this;
    }
    explicit operator bool() const { return FEvent != nullptr; }

private:
    friend class TXmlDoc;
    // Stands for the parent's handler; never called.
    static TXmlDocRenameEvent FParentMarker;
    bool BoundToParent() const { return FEvent == &FParentMarker; }
    void BindToParent()
    {
        Reset();
        FEvent = &FParentMarker;
    }
    void Reset()
    {
        if (FEvent != &FParentMarker)
            delete FEvent;
        FEvent = nullptr;
    }
    TXmlDocRenameEvent* FEvent = nullptr;
};

// The owned nodes of one list (children or properties), contiguous: a single node is kept in
// the list itself (the commonest case: one property, one child), more in storage taken from
// the tree's pool. A property list holds name/value records in the same slots until one of
// its properties is handed out as a node (TXmlDoc::kPropNodes).
class TXmlNodeList {
public:
    TXmlDoc* const* begin() const { return FCapacityLog ? FItems : &FOne; }
    TXmlDoc* const* end() const { return begin() + FCount; }
    size_t size() const { return FCount; }
    bool empty() const { return FCount == 0; }
    TXmlDoc* operator[](size_t i) const { return begin()[i]; }
    TXmlDoc* back() const { return begin()[FCount - 1]; }

private:
    friend class TXmlDoc;
    TXmlDoc** Items() { return FCapacityLog ? FItems : &FOne; }
    uint32_t Capacity() const { return uint32_t{1} << FCapacityLog; }
    // Forgets the storage (the caller has taken or freed it); the tag stays.
    void Detach()
    {
        FOne = nullptr;
        FCount = 0;
        FCapacityLog = 0;
    }
    union {
        TXmlDoc* FOne = nullptr;  // capacity 1 (FCapacityLog 0): the node itself
        TXmlDoc** FItems;         // capacity 2^FCapacityLog
    };
    uint32_t FCount = 0;
    uint8_t FCapacityLog = 0;
    mutable uint8_t FTag = 0;  // the owner's flags (TXmlDoc::Flags), kept in the spare bytes
};

class TXmlDoc {
public:
    // Deepest element nesting the XML reader follows; deeper elements are skipped whole.
    static constexpr size_t MaxReadDepth = 4096;
    // A parent keeps a hashed name index once it has more children than this; below, the
    // index entries are found by a scan of the children.
    static constexpr size_t IndexThreshold = 8;

    explicit TXmlDoc(std::string AName = {}, std::string AValue = {}, void* AData = nullptr,
                     std::string_view AXML = {});
    static std::unique_ptr<TXmlDoc> CreateFromXML(std::string_view AXML);
    ~TXmlDoc();
    TXmlDoc(const TXmlDoc&) = delete;
    TXmlDoc& operator=(const TXmlDoc&) = delete;

    // ---- name, value, data
    const std::string& GetName() const { return varName; }
    void SetName(const std::string& AName);
    const std::string& GetValue() const { return varValue; }
    void SetValue(std::string AValue) { varValue = std::move(AValue); }
    void* GetData() const;
    void SetData(void* AData);
    TXmlRenameSlot OnRename;

    // ---- children
    TXmlDoc* New(const std::string& NodeName);
    TXmlDoc* Insert(int AIndex, const std::string& NodeName);
    TXmlDoc* NewFromClone(const TXmlDoc& ANode);
    int GetNodeCount() const { return static_cast<int>(varNodes.size()); }
    bool HasChildren() const { return !varNodes.empty(); }
    TXmlDoc* GetNode(const TNodeInfo& NodeInfo);
    TXmlDoc* GetNode(std::string_view APath);
    TXmlDoc* GetNode(const std::string& APath) { return GetNode(std::string_view(APath)); }
    TXmlDoc* GetNode(const char* APath) { return GetNode(std::string_view(APath)); }
    TXmlDoc* GetNode(int NodeIndex) { return GetNodeByIndex(NodeIndex); }
    TXmlDoc* GetNodeByIndex(int NodeIndex);
    TXmlDoc* GetNamedNodeByIndex(int NodeIndex, const std::string& NodeName);
    // The child at an index without creating one; nullptr when out of range.
    TXmlDoc* ChildAt(size_t AIndex) const { return AIndex < varNodes.size() ? varNodes[AIndex] : nullptr; }
    // The node this one is a child of; nullptr for a root or a property.
    TXmlDoc* GetParent() const { return FParent; }
    bool HasNode(std::string_view NodeName) const { return FindNode(NodeName, false) != nullptr; }
    bool HasNode(std::string_view NodeName, TXmlDoc*& Node) const { return FindNodeB(NodeName, Node, false); }
    TXmlDoc* FindNode(std::string_view NodeName, bool Hierarchy = false) const;
    TXmlDoc* FindNode(std::string_view NodeName, TXmlDoc*& Node, bool Hierarchy = false) const;
    bool FindNodeB(std::string_view NodeName, TXmlDoc*& Node, bool Hierarchy = false) const;
    TXmlDoc* FindNodeByProp(std::string_view PropName, std::string_view PropValue, bool Hierarchy = false) const;
    bool FindNodeByProp(std::string_view PropName, std::string_view PropValue, TXmlDoc*& Node, bool Hierarchy = false) const;
    bool FindNodeByProp(std::string_view PropName, std::string_view PropValue, TXmlDocList& AList, bool Hierarchy = false) const;
    TXmlDoc* GetPath(std::string_view APath);
    void SortNodes(bool Hierarchy, const std::string& ASortPath);
    void ExchangeNodes(TXmlDoc* NodeA, TXmlDoc* NodeB);
    void ExchangeNodes(int IdxA, int IdxB);
    void DeleteNode(std::string_view NodeName);
    void DeleteNode(TXmlDoc* Node);
    void DeleteNodes();
    void Clear();

    // ---- properties
    int GetPropertyCount() const { return static_cast<int>(varProperties.size()) + (HasDeferredEncType() ? 1 : 0); }
    TXmlDoc* GetPropertyByName(std::string_view PropertyName, bool CreateIfNotExists);
    // Without creating; nullptr when absent.
    const TXmlDoc* FindProperty(std::string_view PropertyName) const;
    // The value of a property without creating it; "" when absent. The reference lasts while
    // the property is neither changed nor removed.
    const std::string& Prop(std::string_view PropertyName) const;
    TXmlDoc* GetProperty(std::string_view PropertyName) { return GetPropertyByName(PropertyName, true); }
    TXmlDoc* GetPropertyByIndex(int PropertyIndex);
    // The typed accessors create an absent property, like GetProperty, but leave the
    // properties stored as they are.
    std::string Getp(std::string_view PropName) { return PropertyValue(PropName); }
    bool Getb(std::string_view PropName);
    int32_t Geti(std::string_view PropName);
    double Getd(std::string_view PropName);
    void Setp(std::string_view PropName, std::string PropValue) { SetPropertyText(PropName, std::move(PropValue)); }
    void Setb(std::string_view PropName, bool AValue) { SetPropertyText(PropName, AValue ? "1" : "0"); }
    void Seti(std::string_view PropName, int32_t AValue);
    void Setd(std::string_view PropName, double AValue);
    void DeleteProperty(std::string_view PropertyName);
    void DeleteProperties();
    std::string GetEncType() { return Getp("_enctype"); }
    void SetEncType(std::string AEncType) { Setp("_enctype", std::move(AEncType)); }

    // ---- value
    bool IsEmpty() const { return varValue.empty(); }
    bool HasValue() const { return !varValue.empty(); }
    bool IsNumeric() const;
    bool IsFloat() const;
    bool IsDateTime() const;
    int32_t GetAsInt() const;
    void SetAsInt(int32_t AValue);
    int64_t GetAsInt64() const;
    void SetAsInt64(int64_t AValue);
    double GetAsFloat() const;
    void SetAsFloat(double AValue);
    bool GetAsBool() const;
    void SetAsBool(bool AValue) { varValue = AValue ? "1" : "0"; }
    double GetAsDateTime() const;
    void SetAsDateTime(double AValue);
    void Push(std::string_view S, std::string_view AToken);
    std::string Pop(std::string_view AToken);
    void Setv(std::string AValue, std::string AEncode = {});

    // ---- lists of text
    void ParseStringList(std::string_view S, std::string_view AToken = {});
    void ParseStrings(const std::vector<std::string>& L);
    void GetStrings(std::vector<std::string>& L) const;
    std::string GetCommaNames() const;

    // ---- copying and conversion
    void Clone(const TXmlDoc& ANode, TCloneFlags ACloneFlags = 0);
    void CloneChildren(const TXmlDoc& ANode) { Clone(ANode, 95); }
    std::unique_ptr<TXmlDoc> Duplicate() const;
    void LoadFromNode(const TXmlDoc* ANode = nullptr);
    void SaveToNode(TXmlDoc* ANode, const std::string& AEncode = {});

    // ---- text forms
    std::string GetXML() const;
    void SetXML(std::string_view AXML);
    std::string GetChildrenXML() const;
    void SetChildrenXML(std::string_view AXML);
    // Writes the node's text form through a parser set up for writing (estimate, then write).
    void WriteXML(TGenericParser& AParser) const;
    // Reads one element (or, with AChildren, a run of child elements) from a parser set up
    // for reading. Reading errors of the parser itself propagate.
    void ReadXML(TGenericParser& AParser, bool AChildren = false);
    std::string GetJSON();
    bool LoadFromFile(const std::string& FileName);
    bool SaveToFile(const std::string& FileName) const;
    // Every file name goes through this first: the path macros expanded and the POSIX form
    // (UnitLocalUtils::LocalFileName); "" for a name the file system must not see.
    static std::string ExpandFileName(const std::string& FileName);
    // Large trees leave up to 256 MiB of their storage to the next trees of the process; this
    // gives what is kept now back to the system.
    static void ReleaseCachedMemory();

private:
    template <class TCursor>
    friend class TXmlReader;
    template <class TSink>
    friend class TXmlWriter;
    friend class TXmlArena;
    friend struct TXmlTreeSteps;

    enum : uint8_t {
        kIndexed = 1,     // this child is its parent's index entry for its name
        kCandidate = 2,   // read from text: enters the index unless its name is there
        kPending = 4,     // some children are candidates still to settle
        kOwnsArena = 8,   // the root that made the pool of its tree
        kPooled = 16,     // allocated from the pool of its tree
        // An empty "_enctype" property stands after the stored ones, made only when the
        // properties are reached as nodes (the reader gives one to every element with text).
        kDeferredEncType = 32,
        // The properties are nodes (someone was handed one); without it they are records.
        kPropNodes = 64,
        // Some property record holds text outside the pool.
        kRecordsHeap = 128,
    };

    // ---- storage
    uint8_t& Flags() const { return varNodes.FTag; }
    TXmlArena& Arena();
    TXmlDoc* MakeNode(std::string AName, std::string AValue = {});
    TXmlDoc* MakeNodeCopy(std::string_view AName, std::string_view AValue);
    void FreeNode(TXmlDoc* ANode);
    void ListInsert(TXmlNodeList& AList, size_t AAt, TXmlDoc* ANode);
    void ListErase(TXmlNodeList& AList, size_t AAt);
    void ListRelease(TXmlNodeList& AList);
    TXmlDocAside& Aside();

    // ---- properties as stored
    bool HasDeferredEncType() const { return (Flags() & kDeferredEncType) != 0; }
    // Makes the deferred "_enctype" property a stored one (before the properties are counted
    // by index, handed out as nodes or added to).
    void StoreDeferred() const;
    bool NoProperties() const { return varProperties.empty() && !HasDeferredEncType(); }
    // A property's value without making a deferred one; false when there is no such property.
    bool LookupProperty(std::string_view AName, std::string_view& AValue) const;
    // The index of a stored property; the deferred one is not seen (it has no value).
    static constexpr size_t kNoProperty = ~size_t{0};
    size_t FindStored(std::string_view AName) const;
    // Until a property is handed out as a node the properties are name/value records; the
    // stored ones are read through these whichever form they have.
    bool PropsAreNodes() const { return (Flags() & kPropNodes) != 0; }
    const std::string& StoredName(size_t AIndex) const;
    const std::string& StoredValue(size_t AIndex) const;
    std::string& StoredValueRef(size_t AIndex);
    // The value of a property, created (empty) when absent.
    std::string& PropertyValue(std::string_view AName);
    void SetPropertyText(std::string_view AName, std::string AValue);
    // Turns all records into property nodes, in their order; from then on they are nodes.
    void MaterializeProperties() const;
    // Gives back the properties of a list stored in the form AsNodes says.
    void DestroyProperties(TXmlNodeList& AList, bool AsNodes);
    // Notes a record whose texts went outside the pool (released with the node).
    void NoteRecordTexts(const TXmlPropRecord& ARecord);
    void FreeRecordTexts();
    // Long names or values, the aside fields or a caller's rename callback: what a node's
    // destructor gives back besides its lists.
    bool HoldsOutsidePool() const;
    // Destroys everything below this node, without recursion, returning it to the pool.
    void DestroyBelow();
    // The root's release of its whole pool.
    void ReleasePool();
    void DestroyList(TXmlNodeList& AList);

    // ---- the name index
    void BindChild(TXmlDoc& Child);
    TXmlDoc* IndexFind(std::string_view Name) const;
    void IndexDrop(std::string_view Name);
    void IndexPut(TXmlDoc& Child, bool Replace);
    void SettleIndex() const;
    void BuildIndexMap() const;
    void DropIndexMap();

    TXmlDoc* NamedChild(std::string_view NodeName);
    TXmlDoc* AppendChild(std::string Name);
    // Appends a property (a record, or a node once they are nodes).
    void AddProperty(std::string AName, std::string AValue);
    // The same from copies of the texts, made in the node's own storage.
    void AddPropertyCopy(std::string_view AName, std::string_view AValue);
    void DestroyChildren();
    void ResetContent();  // name (fires OnRename), value, properties, children
    // Appends deep copies of ANodes (children of ASource), keeping which of them the source's
    // name index points at.
    void AppendCopiesOf(const TXmlNodeList& ANodes, const TXmlDoc& ASource);

    std::string varName;
    std::string varValue;
    TXmlDoc* FParent = nullptr;
    TXmlArena* FArena = nullptr;
    TXmlNodeList varProperties;
    TXmlNodeList varNodes;
    TXmlDocAside* FAside = nullptr;  // Data and the hashed name index, made when first needed
};

namespace UnitXmlDoc {

// The conversions behind the typed values.
bool TextIsNumeric(std::string_view S);
bool TextIsFloat(std::string_view S);
bool TextToInt32(std::string_view S, int32_t& AValue);
bool TextToInt64(std::string_view S, int64_t& AValue);
double TextToFloat(std::string_view S);
std::string FloatToText(double AValue);
bool TextToBool(std::string_view S);

// Case-insensitive equality, ASCII letters folded.
bool SameText(std::string_view A, std::string_view B) noexcept;

// The value of a node's property without creating it; "" when the property or the node is
// absent (TXmlDoc::Prop).
inline const std::string& Prop(const TXmlDoc& ANode, std::string_view AName) { return ANode.Prop(AName); }
const std::string& Prop(const TXmlDoc* ANode, std::string_view AName);

}  // namespace UnitXmlDoc
