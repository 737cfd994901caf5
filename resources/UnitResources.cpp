#include "resources/UnitResources.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;
using UnitXmlDoc::SameText;

namespace {

constexpr std::string_view kNeutral = "xx";
constexpr std::string_view kTextExtensions = "txt,xml,sql";
constexpr std::string_view kPictureExtensions = "bin,gif,jpg,png,bmp,ico,fileset";

std::string Upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::vector<std::string> SplitCommas(std::string_view text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string part(text.substr(start, comma - start));
        while (!part.empty() && part.front() == ' ')
            part.erase(part.begin());
        while (!part.empty() && part.back() == ' ')
            part.pop_back();
        if (!part.empty())
            parts.push_back(std::move(part));
        start = comma + 1;
    }
    return parts;
}

bool ReadWhole(const std::string& path, std::string& content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return false;
    content = std::move(data);
    return true;
}

// Case-insensitive match of a file name against a mask whose only wildcard is one "*".
bool MatchesMask(std::string_view fileName, std::string_view prefix, std::string_view suffix)
{
    if (fileName.size() < prefix.size() + suffix.size())
        return false;
    return SameText(fileName.substr(0, prefix.size()), prefix)
        && SameText(fileName.substr(fileName.size() - suffix.size()), suffix);
}

uint32_t Le32(const TBytes& b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16
        | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint32_t Be32(const TBytes& b, size_t at)
{
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 | static_cast<uint32_t>(b[at + 2]) << 8
        | static_cast<uint32_t>(b[at + 3]);
}

}  // namespace

// ==================================================================== string tables

TResourceStringTable::TResourceStringTable(std::string identifier, std::string_view text)
    : FIdentifier(std::move(identifier))
{
    size_t i = 0;
    while (i < text.size()) {
        size_t stop = text.find_first_of("\r\n", i);
        if (stop == std::string_view::npos)
            stop = text.size();
        const std::string_view line = text.substr(i, stop - i);
        if (!line.empty()) {
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos)
                FLines.emplace_back(std::string(line), std::string());
            else
                FLines.emplace_back(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
        }
        i = stop + ((stop + 1 < text.size() && text[stop] == '\r' && text[stop + 1] == '\n') ? 2 : 1);
    }
}

std::string TResourceStringTable::KeyOf(int number)
{
    std::array<char, 16> digits {};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), number);
    const std::string padded = "0000" + std::string(digits.data(), result.ptr);
    return padded.substr(padded.size() - 4);
}

std::string TResourceStringTable::Entry(std::string_view key) const
{
    for (const auto& [name, value] : FLines)
        if (SameText(name, key))
            return UnitResources::ExpandMarks(value);
    return {};
}

std::string TResourceStringTable::Entry(int number) const
{
    return Entry(KeyOf(number));
}

// ==================================================================== the centre

TResourceCentre::TResourceCentre(std::string_view bagResource)
{
    if (bagResource.empty())
        return;
    const size_t end = bagResource.find("\r\n.");
    const std::string_view encoded = bagResource.substr(0, end);
    try {
        const std::string xml = UnitEncoding::DecodeTextToText(encoded, UnitEncoding::TEncodingNumber::DeflatedBase64);
        auto tree = TXmlDoc::CreateFromXML(xml);
        if (tree && SameText(tree->GetName(), "Resources"))
            FBag.Clone(*tree);
    } catch (...) {
        // A damaged bag leaves every lookup to the files and providers.
    }
    if (!SameText(FBag.GetName(), "Resources"))
        FBag.Clear();
}

TResourceCentre::~TResourceCentre()
{
    // Pictures go one by one; whatever one of them does on the way out stays its own business.
    for (auto it = FCache.begin(); it != FCache.end();) {
        try {
            it = FCache.erase(it);
        } catch (...) {
            ++it;
        }
    }
}

void TResourceCentre::SetLanguage(std::string language)
{
    std::lock_guard lock(FLock);
    FLanguage = std::move(language);
}

std::string TResourceCentre::Language() const
{
    std::lock_guard lock(FLock);
    return FLanguage;
}

void TResourceCentre::SetSearchFolders(std::string folders)
{
    std::lock_guard lock(FLock);
    FFolders = SplitCommas(folders);
    for (auto& folder : FFolders)
        if (folder.back() != '/')
            folder.push_back('/');
}

void TResourceCentre::AddProvider(std::unique_ptr<TResourceProvider> provider)
{
    std::lock_guard lock(FLock);
    if (provider)
        FProviders.push_back(std::move(provider));
}

size_t TResourceCentre::CachedPictures() const
{
    std::lock_guard lock(FLock);
    return FCache.size();
}

std::string TResourceCentre::Identifier(std::string_view language, std::string_view kind, std::string_view name)
{
    return Upper(std::string(language) + "_" + std::string(kind) + "_" + std::string(name));
}

bool TResourceCentre::FindInFolders(const std::string& candidate, std::string& path) const
{
    const size_t dot = candidate.rfind('.');
    const std::string_view prefix = std::string_view(candidate).substr(0, dot);
    const std::string_view suffix = dot == std::string::npos ? std::string_view() : std::string_view(candidate).substr(dot);
    for (const auto& folder : FFolders) {
        std::error_code ec;
        if (fs::is_regular_file(folder + candidate, ec)) {
            path = folder + candidate;
            return true;
        }
        // The listing of "name[*].ext": any file whose name starts with the name and ends with the
        // extension, in the listing's order made stable by sorting.
        std::vector<std::string> names;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code kind;
            if (it->is_regular_file(kind))
                names.push_back(it->path().filename().string());
        }
        std::sort(names.begin(), names.end());
        for (const auto& fileName : names)
            if (MatchesMask(fileName, prefix, suffix)) {
                path = folder + fileName;
                return true;
            }
    }
    return false;
}

bool TResourceCentre::FindFile(std::string_view language, std::string_view kind, std::string_view name,
                               std::string_view extensions, std::string& path) const
{
    if (FFolders.empty())
        return false;
    const std::string id = Identifier(language, kind, name);
    std::vector<std::string> candidates {id + ".res", id + "." + std::string(kind),
                                         std::string(language) + "_" + std::string(name) + "." + std::string(kind)};
    if (SameText(language, kNeutral))
        candidates.push_back(std::string(name) + "." + std::string(kind));
    for (const auto& candidate : candidates)
        if (FindInFolders(candidate, path))
            return true;
    for (const auto& extension : SplitCommas(extensions))
        if (FindFile(language, extension, name, {}, path))
            return true;
    return false;
}

bool TResourceCentre::TextById(const std::string& identifier, std::string& text)
{
    // The identifier's parts: language, kind, then the name after the second "_".
    const size_t first = identifier.find('_');
    const size_t second = first == std::string::npos ? first : identifier.find('_', first + 1);
    if (second != std::string::npos) {
        std::string path;
        if (FindFile(identifier.substr(0, first), identifier.substr(first + 1, second - first - 1),
                     identifier.substr(second + 1), kTextExtensions, path)
            && ReadWhole(path, text))
            return true;
    }
    for (auto& provider : FProviders)
        if (provider->Text(identifier, text))
            return true;
    if (const TXmlDoc* child = FBag.FindNode(identifier)) {
        text = child->GetValue();
        return true;
    }
    return false;
}

std::string TResourceCentre::TextIn(std::string_view name, std::string_view language, std::string_view kind,
                                    std::string* identifierUsed)
{
    std::lock_guard lock(FLock);
    const std::string id = Identifier(language, kind.empty() ? "txt" : kind, name);
    if (identifierUsed)
        *identifierUsed = id;
    std::string text;
    if (!TextById(id, text))
        text.clear();
    return text;
}

std::string TResourceCentre::Text(std::string_view name, std::string_view kind)
{
    std::lock_guard lock(FLock);
    std::string text = TextIn(name, FLanguage, kind);
    if (text.empty())
        text = TextIn(name, kNeutral, kind);
    return text;
}

bool TResourceCentre::PictureById(const std::string& identifier, TResourcePicture& picture)
{
    if (auto cached = FCache.find(identifier); cached != FCache.end()) {
        picture = cached->second;
        return true;
    }
    TBytes bytes;
    bool found = false;
    const size_t first = identifier.find('_');
    const size_t second = first == std::string::npos ? first : identifier.find('_', first + 1);
    if (second != std::string::npos) {
        std::string path;
        std::string content;
        if (FindFile(identifier.substr(0, first), identifier.substr(first + 1, second - first - 1),
                     identifier.substr(second + 1), kPictureExtensions, path)
            && ReadWhole(path, content)) {
            bytes.assign(content.begin(), content.end());
            found = true;
        }
    }
    for (size_t i = 0; !found && i < FProviders.size(); ++i)
        found = FProviders[i]->Stream(identifier, bytes);
    if (!found) {
        if (const TXmlDoc* child = FBag.FindNode(identifier)) {
            try {
                if (auto decoded = UnitEncoding::DecodeText(child->GetValue(), UnitEncoding::TEncodingNumber::Automatic); decoded && !decoded->empty()) {
                    bytes = std::move(*decoded);
                    found = true;
                }
            } catch (...) {
                // A damaged picture in the bag counts as not found.
            }
        }
    }
    TResourcePicture loaded;
    if (!found || !UnitResources::LoadPicture(std::move(bytes), loaded))
        return false;
    FCache[identifier] = loaded;
    picture = std::move(loaded);
    return true;
}

bool TResourceCentre::Picture(std::string_view name, std::string_view kind, TResourcePicture& picture,
                              std::string_view language)
{
    std::lock_guard lock(FLock);
    std::vector<std::string> languages;
    if (!language.empty())
        languages.emplace_back(language);
    languages.push_back(FLanguage);
    languages.emplace_back(kNeutral);
    for (const auto& lang : languages)
        if (PictureById(Identifier(lang, kind, name), picture))
            return true;
    return false;
}

TResourceStringTable& TResourceCentre::StringTable(std::string_view name, std::string_view language,
                                                   std::string_view kind)
{
    std::lock_guard lock(FLock);
    std::string id;
    std::string text;
    if (!language.empty())
        text = TextIn(name, language, kind, &id);
    if (text.empty()) {
        text = TextIn(name, FLanguage, kind, &id);
        if (text.empty())
            text = TextIn(name, kNeutral, kind, &id);
    }
    FStringTables.push_back(std::make_unique<TResourceStringTable>(id, text));
    return *FStringTables.back();
}

// ==================================================================== free functions

namespace UnitResources {

bool LoadPicture(TBytes bytes, TResourcePicture& picture)
{
    TResourcePicture loaded;
    if (bytes.size() >= 26 && bytes[0] == 'B' && bytes[1] == 'M') {
        // File header (14 bytes), then the DIB header whose size says its kind.
        const uint32_t headerSize = Le32(bytes, 14);
        if (headerSize == 12) {
            loaded.Width = bytes[18] | bytes[19] << 8;
            loaded.Height = bytes[20] | bytes[21] << 8;
        } else if (headerSize >= 40 && bytes.size() >= 14 + headerSize) {
            loaded.Width = static_cast<int32_t>(Le32(bytes, 18));
            loaded.Height = static_cast<int32_t>(Le32(bytes, 22));
            if (loaded.Height < 0)
                loaded.Height = -loaded.Height;  // top-down rows
        } else {
            return false;
        }
        if (Le32(bytes, 10) >= bytes.size())
            return false;  // the pixels would start past the end
        loaded.Format = "BMP";
    } else if (bytes.size() >= 22 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1 && bytes[3] == 0
               && (bytes[4] | bytes[5] << 8) > 0) {
        const uint32_t offset = Le32(bytes, 18);
        const uint32_t size = Le32(bytes, 14);
        if (size == 0 || offset < 6 || offset > bytes.size() || size > bytes.size() - offset)
            return false;
        loaded.Width = bytes[6] == 0 ? 256 : bytes[6];
        loaded.Height = bytes[7] == 0 ? 256 : bytes[7];
        loaded.Format = "ICO";
    } else if (bytes.size() >= 24 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') {
        loaded.Width = static_cast<int>(Be32(bytes, 16));
        loaded.Height = static_cast<int>(Be32(bytes, 20));
        loaded.Format = "PNG";
    } else {
        return false;
    }
    if (loaded.Width <= 0 || loaded.Height <= 0)
        return false;
    loaded.Bytes = std::move(bytes);
    picture = std::move(loaded);
    return true;
}

std::string ExpandMarks(std::string_view text)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 3> marks {
        {{"{cr}", "\r\n"}, {"{tab}", "\t"}, {"{space}", " "}}};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        bool replaced = false;
        if (text[i] == '{')
            for (const auto& [mark, with] : marks)
                if (SameText(text.substr(i, mark.size()), mark)) {
                    out += with;
                    i += mark.size();
                    replaced = true;
                    break;
                }
        if (!replaced)
            out.push_back(text[i++]);
    }
    return out;
}

namespace {
std::unique_ptr<TResourceCentre>& Slot()
{
    static std::unique_ptr<TResourceCentre> centre;
    return centre;
}
}  // namespace

TResourceCentre* Centre()
{
    return Slot().get();
}

void SetCentre(std::unique_ptr<TResourceCentre> centre)
{
    Slot() = std::move(centre);
}

}  // namespace UnitResources
