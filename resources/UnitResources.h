// The resource centre: every user-facing text and picture of the library, found by language,
// kind and name in external files, registered providers and the resource bag carried inside the
// library, in that order. Lookups that find nothing in the current language are repeated with
// the language-neutral "xx". Nothing here raises: a resource found nowhere is an empty text or
// an untouched picture.
#pragma once

#include "core/UnitXmlDoc.h"
#include "encoding/UnitEncoding.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using UnitEncoding::TBytes;

// Answers resources by identifier ("PT_TXT_NAME") from somewhere other than files and the bag.
class TResourceProvider {
public:
    virtual ~TResourceProvider() = default;
    // True with the text when the provider holds the identifier.
    virtual bool Text(const std::string& identifier, std::string& text) = 0;
    // True when the provider filled bytes for the identifier.
    virtual bool Stream(const std::string& identifier, TBytes& bytes) = 0;
};

// A picture as the resource centre hands it out: the file's bytes, checked and measured.
struct TResourcePicture {
    std::string Format;  // "BMP", "ICO" or "PNG"
    TBytes Bytes;
    int Width = 0;
    int Height = 0;
    bool Empty() const { return Bytes.empty(); }
};

// A string table: one "key=value" line per entry.
class TResourceStringTable {
public:
    TResourceStringTable(std::string identifier, std::string_view text);
    const std::string& Identifier() const { return FIdentifier; }
    size_t Count() const { return FLines.size(); }
    // The value of the line named key (names compared without regard to case), with "{cr}",
    // "{tab}" and "{space}" replaced by CR LF, TAB and a blank; "" for a missing key.
    std::string Entry(std::string_view key) const;
    // Entry n is the line named by n's last four decimal digits, zero-padded ("0023" for 23).
    std::string Entry(int number) const;
    static std::string KeyOf(int number);

private:
    std::string FIdentifier;
    std::vector<std::pair<std::string, std::string>> FLines;
};

class TResourceCentre {
public:
    // bagResource is the library's "BAG" resource: number 9 text ended by CR LF ".".
    explicit TResourceCentre(std::string_view bagResource = {});
    ~TResourceCentre();
    TResourceCentre(const TResourceCentre&) = delete;
    TResourceCentre& operator=(const TResourceCentre&) = delete;

    void SetLanguage(std::string language);
    std::string Language() const;
    // Comma-separated folders, each ending in a path separator (one is added when missing).
    void SetSearchFolders(std::string folders);
    void AddProvider(std::unique_ptr<TResourceProvider> provider);

    // "%s_%s_%s" of language, kind and name, upper-case.
    static std::string Identifier(std::string_view language, std::string_view kind, std::string_view name);

    // The text in one language (kind "TXT" when empty); identifierUsed receives the identifier.
    std::string TextIn(std::string_view name, std::string_view language, std::string_view kind = {},
                       std::string* identifierUsed = nullptr);
    // The text in the current language, then in "xx".
    std::string Text(std::string_view name, std::string_view kind = {});

    // Fills picture and returns true when found: in the given language (when not empty), then
    // the current language, then "xx". A picture found nowhere leaves the caller's untouched.
    bool Picture(std::string_view name, std::string_view kind, TResourcePicture& picture,
                 std::string_view language = {});

    // The table in the given language, or (when none is given or that gives nothing) the current
    // language with the "xx" fallback. The centre owns the table.
    TResourceStringTable& StringTable(std::string_view name, std::string_view language = {},
                                      std::string_view kind = {});

    // For inspection: whether the bag was read, how many pictures are cached.
    bool BagLoaded() const { return FBag.GetNodeCount() > 0; }
    size_t CachedPictures() const;

private:
    bool TextById(const std::string& identifier, std::string& text);
    bool PictureById(const std::string& identifier, TResourcePicture& picture);
    bool FindFile(std::string_view language, std::string_view kind, std::string_view name,
                  std::string_view extensions, std::string& path) const;
    bool FindInFolders(const std::string& candidate, std::string& path) const;

    mutable std::recursive_mutex FLock;
    std::string FLanguage;
    std::vector<std::string> FFolders;
    TXmlDoc FBag{"Resources"};
    std::vector<std::unique_ptr<TResourceProvider>> FProviders;
    std::map<std::string, TResourcePicture> FCache;
    std::vector<std::unique_ptr<TResourceStringTable>> FStringTables;
};

namespace UnitResources {

// Reads a picture file's bytes: BMP, ICO (first image's size) or PNG; false for other bytes.
bool LoadPicture(TBytes bytes, TResourcePicture& picture);
// Replaces "{cr}", "{tab}" and "{space}" (any case).
std::string ExpandMarks(std::string_view text);

// The library's centre, created with the library's bag when it is loaded; null before that.
TResourceCentre* Centre();
void SetCentre(std::unique_ptr<TResourceCentre> centre);

}  // namespace UnitResources
