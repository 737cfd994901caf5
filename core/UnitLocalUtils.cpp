#include "core/UnitLocalUtils.h"

#include "core/UnitFolderUtils.h"
#include "core/UnitRegistryUtils.h"
#include "encoding/UnitCodecs.h"
#include "platform/UnitPlatformFiles.h"
#include "platform/UnitPlatformFolders.h"
#include "platform/UnitTrace.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace UnitLocalUtils {

namespace {

struct TExpandBudget {
    int StepsLeft = MaxExpandSteps;
    bool Exhausted = false;
};

// The budget of the outermost Expand running on this thread; nested expansions draw on it.
thread_local TExpandBudget* ActiveBudget = nullptr;

class TBudgetScope {
public:
    TBudgetScope()
        : FOuter(ActiveBudget == nullptr)
    {
        if (FOuter)
            ActiveBudget = &FOwn;
    }
    ~TBudgetScope()
    {
        if (FOuter)
            ActiveBudget = nullptr;
    }
    TBudgetScope(const TBudgetScope&) = delete;
    TBudgetScope& operator=(const TBudgetScope&) = delete;

    TExpandBudget& Budget() { return *ActiveBudget; }

private:
    TExpandBudget FOwn;
    bool FOuter;
};

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

size_t FindIgnoringCase(std::string_view text, std::string_view pattern, size_t from)
{
    if (pattern.empty() || text.size() < pattern.size())
        return std::string_view::npos;
    for (size_t i = from; i + pattern.size() <= text.size(); ++i)
        if (SameIgnoringCase(text.substr(i, pattern.size()), pattern))
            return i;
    return std::string_view::npos;
}

// Every occurrence, matched ignoring letter case; the replacement is not searched again.
std::string ReplaceAllIgnoringCase(std::string_view text, std::string_view pattern, std::string_view replacement)
{
    std::string result;
    size_t start = 0;
    for (size_t at = FindIgnoringCase(text, pattern, 0); at != std::string_view::npos;
         at = FindIgnoringCase(text, pattern, start)) {
        result.append(text.substr(start, at - start));
        result.append(replacement);
        start = at + pattern.size();
    }
    result.append(text.substr(start));
    return result;
}

std::string ExecutableFolder()
{
    const std::string exe = UnitPlatformFolders::ExecutablePath();
    return UnitFolderUtils::IncludeTrailingBackslash(exe.substr(0, exe.rfind('\\') + 1));
}

std::string ExecutableBaseName()
{
    const std::string exe = UnitPlatformFolders::ExecutablePath();
    std::string name = exe.substr(exe.rfind('\\') + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

std::string PerProgramDataFolder()
{
    return UnitFolderUtils::KnownFolder(UnitFolderUtils::LocalAppDataIndex, "Tessaly\\" + ExecutableBaseName(), true);
}

struct TFixedMacro {
    std::string_view Macro;
    std::string (*Replacement)();
};

// Tested in this order; each replacement is worked out only when its macro occurs.
const TFixedMacro FixedMacros[] = {
    {"($Varnel)\\", [] { return std::string("($ProgramFiles)\\Tessaly\\Varnel\\"); }},
    {"($TS)\\", [] { return std::string("($ProgramFiles)\\Tessaly\\"); }},
    {"($App)\\", ExecutableFolder},
    {"($AppData)\\", PerProgramDataFolder},
    {"($Win)\\", [] { return UnitFolderUtils::IncludeTrailingBackslash(Expand(UnitPlatformFolders::WindowsFolder())); }},
    {"($Sys)\\", [] { return UnitFolderUtils::IncludeTrailingBackslash(Expand(UnitPlatformFolders::SystemFolder())); }},
    {"($Random)",
     [] { return UnitCodecs::HexEncode(UnitPlatformFiles::NewGuid()); }},
};

constexpr std::string_view RegistryMacro = "($Registry:";

void AddAlternative(std::vector<std::string>& alternatives, std::string text)
{
    if (std::find(alternatives.begin(), alternatives.end(), text) == alternatives.end())
        alternatives.push_back(std::move(text));
}

std::string JoinAlternatives(const std::vector<std::string>& alternatives)
{
    std::string joined;
    for (const auto& alternative : alternatives) {
        if (!joined.empty())
            joined += '|';
        joined += alternative;
    }
    return joined;
}

// Replaces the first registry macro of path. An absent key, or an absent or empty value,
// leaves the whole path empty: a name such as "\x" built around a missing value would point
// somewhere nobody meant.
std::string ExpandRegistryMacro(std::string_view path)
{
    const size_t start = path.find(RegistryMacro);
    const std::string_view prefix = path.substr(0, start);
    std::string_view body = path.substr(start + RegistryMacro.size());
    std::string_view suffix;
    bool closed = false;
    if (const size_t close = body.find(")\\"); close != std::string_view::npos) {
        suffix = body.substr(close + 2);
        body = body.substr(0, close);
        closed = true;
    }
    std::string_view key = body;
    std::string_view valueName;
    if (const size_t dot = body.rfind('.'); dot != std::string_view::npos) {
        key = body.substr(0, dot);
        valueName = body.substr(dot + 1);
    }
    std::string_view rootWord = key;
    std::string_view keyPath;
    if (const size_t slash = key.find('\\'); slash != std::string_view::npos) {
        rootWord = key.substr(0, slash);
        keyPath = key.substr(slash + 1);
    }

    // Like every other folder macro, a closed one stands for a folder with its trailing
    // backslash, so "C:\Dir" read from the registry still gives "C:\Dir\file".
    auto around = [&](std::string_view value) {
        return std::string(prefix) +
               (closed ? UnitFolderUtils::IncludeTrailingBackslash(value) : std::string(value)) +
               std::string(suffix);
    };
    auto readOn = [&](UnitRegistryUtils::TRegistryRoot root) -> std::string {
        auto value = UnitRegistryUtils::ReadString(root, keyPath, valueName);
        return value && !value->empty() ? around(*value) : std::string();
    };

    try {
        using UnitRegistryUtils::TRegistryRoot;
        if (SameIgnoringCase(rootWord, "machine"))
            return readOn(TRegistryRoot::LocalMachine);
        if (SameIgnoringCase(rootWord, "classes"))
            return readOn(TRegistryRoot::ClassesRoot);
        if (SameIgnoringCase(rootWord, "users"))
            return readOn(TRegistryRoot::Users);
        if (SameIgnoringCase(rootWord, "user")) {
            std::vector<std::string> alternatives;
            const auto profiles = UnitRegistryUtils::SubKeyNames(TRegistryRoot::Users, "");
            for (const auto& profile : profiles.value_or(std::vector<std::string>{})) {
                std::string inner;
                try {
                    inner = Expand(std::string(RegistryMacro) + "USERS\\" + profile + "\\" + std::string(keyPath) +
                                   "." + std::string(valueName));
                } catch (const std::exception& e) {
                    // A profile that cannot be read ends the walk; what was found so far stands.
                    UnitTrace::Trace(std::string("Registry profiles not readable: ") + e.what());
                    break;
                }
                if (!inner.empty())
                    AddAlternative(alternatives, around(inner));
            }
            if (alternatives.empty())
                return readOn(TRegistryRoot::CurrentUser);
            return JoinAlternatives(alternatives);
        }
    } catch (const std::exception& e) {
        UnitTrace::Trace(std::string("Registry macro not readable: ") + e.what());
    }
    return {};
}

}  // namespace

bool ExpandStep(std::string& path)
{
    for (const auto& fixed : FixedMacros) {
        if (path.find(fixed.Macro) != std::string::npos) {
            path = ReplaceAllIgnoringCase(path, fixed.Macro, fixed.Replacement());
            return true;
        }
    }
    if (path.find(RegistryMacro) != std::string::npos) {
        path = ExpandRegistryMacro(path);
        return true;
    }
    for (const auto& entry : UnitFolderUtils::KnownFolders()) {
        const std::string macro = "($" + std::string(entry.Name) + ")\\";
        if (path.find(macro) != std::string::npos) {
            path = ReplaceAllIgnoringCase(path, macro, UnitFolderUtils::KnownFolder(entry.Index));
            return true;
        }
    }
    return false;
}

std::string Expand(std::string_view path)
{
    TBudgetScope scope;
    TExpandBudget& budget = scope.Budget();
    std::string text(path);
    while (!budget.Exhausted) {
        if (budget.StepsLeft <= 0 || text.size() > MaxExpandedLength) {
            budget.Exhausted = true;
            UnitTrace::Trace("Path expansion abandoned: its macros do not come to an end");
            break;
        }
        --budget.StepsLeft;
        if (!ExpandStep(text))
            break;
    }
    if (budget.Exhausted)
        return {};
    return text;
}

std::string LocalFileName(std::string_view path)
{
    // The kernel would stop at a zero byte and name another file ("doc.txt\0.p7s" is the
    // document itself); such a name reaches nothing.
    if (path.find('\0') != std::string_view::npos)
        return {};
    std::string name = UnitPlatformFiles::ToPosixPath(Expand(path));
    if (name.find('\0') != std::string::npos)  // brought in by a macro's value
        return {};
    return name;
}

bool FileExists(std::string_view path)
{
    return UnitPlatformFiles::FileExists(Expand(path));
}

bool DirectoryExists(std::string_view path)
{
    return UnitPlatformFiles::DirectoryExists(Expand(path));
}

bool DeleteFile(std::string_view path)
{
    return UnitPlatformFiles::DeleteFile(Expand(path));
}

bool RenameFile(std::string_view oldPath, std::string_view newPath)
{
    return UnitPlatformFiles::MoveFile(Expand(oldPath), Expand(newPath));
}

bool ForceDirectories(std::string_view path)
{
    return UnitPlatformFiles::ForceDirectories(Expand(path));
}

}  // namespace UnitLocalUtils
