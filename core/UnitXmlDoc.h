// The tree of the whole system: a TXmlDoc is a node and the tree below it at once. Requests,
// responses, ASN.1 structures, settings and reports are all such trees. Names and values are
// 8-bit text; an empty string and an absent value are the same thing.
#pragma once

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

// The kinds of date-time text.
enum class TDateTimeKind {
    DateTime,   // "2024-01-31 10:00:00.000"
    Date,       // "2024-01-31"
    Time,       // "10:00:00.000"
    LocalZone,  // date and time followed by " Z", " Z+300" or " Z-60" (the local bias)
    Utc,        // local time brought to UTC, followed by " Z"
    Regional,   // the user's regional date and time format (display only)
    RegionalDate,  // the user's regional date format (display only)
};

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

class TXmlDoc {
public:
    // Deepest element nesting the XML reader follows; deeper elements are skipped whole.
    static constexpr size_t MaxReadDepth = 4096;

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
    void* GetData() const { return varObject; }
    void SetData(void* AData) { varObject = AData; }
    TXmlDocRenameEvent OnRename;

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
    TXmlDoc* ChildAt(size_t AIndex) const { return AIndex < varNodes.size() ? varNodes[AIndex].get() : nullptr; }
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
    int GetPropertyCount() const { return static_cast<int>(varProperties.size()); }
    TXmlDoc* GetPropertyByName(std::string_view PropertyName, bool CreateIfNotExists);
    // Without creating; nullptr when absent.
    const TXmlDoc* FindProperty(std::string_view PropertyName) const;
    TXmlDoc* GetProperty(std::string_view PropertyName) { return GetPropertyByName(PropertyName, true); }
    TXmlDoc* GetPropertyByIndex(int PropertyIndex);
    std::string Getp(std::string_view PropName) { return GetProperty(PropName)->varValue; }
    bool Getb(std::string_view PropName) { return GetProperty(PropName)->GetAsBool(); }
    int32_t Geti(std::string_view PropName) { return GetProperty(PropName)->GetAsInt(); }
    double Getd(std::string_view PropName) { return GetProperty(PropName)->GetAsDateTime(); }
    void Setp(std::string_view PropName, std::string PropValue) { GetProperty(PropName)->varValue = std::move(PropValue); }
    void Setb(std::string_view PropName, bool AValue) { GetProperty(PropName)->SetAsBool(AValue); }
    void Seti(std::string_view PropName, int32_t AValue) { GetProperty(PropName)->SetAsInt(AValue); }
    void Setd(std::string_view PropName, double AValue) { GetProperty(PropName)->SetAsDateTime(AValue); }
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

private:
    friend class TXmlReader;
    friend class TXmlWriter;

    void ChildRenamed(TXmlDoc& Sender, const std::string& OldName, const std::string& NewName);
    void BindChild(TXmlDoc& Child);
    void AddIndexEntry(TXmlDoc& Child, bool Replace);
    void DropIndexEntry(std::string_view Name);
    TXmlDoc* NamedChild(std::string_view NodeName);
    TXmlDoc* AppendChild(std::string Name);
    void DestroyChildren();
    void ResetContent();  // name (fires OnRename), value, properties, children
    using TNameIndex = std::map<std::string, TXmlDoc*, TNameLess>;
    // Appends deep copies of ANodes, with the name index AIndex holds for them.
    void AppendCopiesOf(const std::vector<std::unique_ptr<TXmlDoc>>& ANodes, const TNameIndex& AIndex);

    std::string varName;
    std::string varValue;
    const std::string* varSortPath = nullptr;
    std::vector<std::unique_ptr<TXmlDoc>> varProperties;
    std::vector<std::unique_ptr<TXmlDoc>> varNodes;
    void* varObject = nullptr;
    std::map<std::string, TXmlDoc*, TNameLess> varNodeIndex;
};

namespace UnitXmlDoc {

// Days since 1899-12-30 with the time of day as fraction, as the date-time values are kept.
double EncodeDateTime(int Year, int Month, int Day, int Hour, int Minute, int Second, int MilliSecond);
// False when the value lies outside the years 1 to 9999.
bool DecodeDateTime(double AValue, int& Year, int& Month, int& Day, int& Hour, int& Minute, int& Second,
                    int& MilliSecond);
double Now();

std::string DateTimeToText(double AValue, TDateTimeKind AKind = TDateTimeKind::DateTime);
// 0 (or a date out of range) gives ADefault; for the date kind the default loses its time
// part, for the time kind its date part.
double TextToDateTime(std::string_view AText, TDateTimeKind AKind = TDateTimeKind::DateTime, double ADefault = 0);
// The local bias in minutes (add it to local time to get UTC), read once at start-up.
int LocalBias();
// Reads the time zone again (after TZ changed).
void RefreshLocalBias();

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

}  // namespace UnitXmlDoc
