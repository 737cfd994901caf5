// Path expansion on arbitrary text must end and must not crash, whatever macros, registry
// references and self-referring folders the text combines. The environment and the registry
// hives are fixed once, in a scratch folder, so runs are repeatable and touch nothing real.
#include "core/UnitLocalUtils.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

struct TFixedWorld {
    std::filesystem::path Root;

    TFixedWorld()
    {
        Root = std::filesystem::temp_directory_path() / ("dorvik-path-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(Root);
        for (const char* name : {"USERPROFILE", "APPDATA", "ProgramFiles", "COMMONPROGRAMFILES", "CommonProgramFiles",
                                 "PROGRAMDATA", "ProgramData", "ALLUSERSPROFILE", "TMP", "TMPDIR", "SYSTEMROOT",
                                 "SystemRoot", "WINDIR", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_DATA_DIRS",
                                 "XDG_CONFIG_DIRS"})
            ::unsetenv(name);
        ::setenv("HOME", (Root / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (Root / "config").c_str(), 1);
        ::setenv("LOCALAPPDATA", (Root / "local").c_str(), 1);
        ::setenv("TEMP", (Root / "temp").c_str(), 1);
        ::setenv("DORVIK_REGISTRY_DIR", (Root / "machine").c_str(), 1);
        // Folders that refer to themselves, as a careless set-up might have them.
        ::setenv("PROGRAMFILES", "($ProgramFiles)\\loop", 1);
        ::setenv("windir", "($Sys)\\w", 1);
        WriteText(Root / "machine/HKEY_LOCAL_MACHINE.xml",
                  "<HKEY_LOCAL_MACHINE><Software><Tessaly Path=\"($MyTemp)\\tessaly\" "
                  "Loop=\"($Registry:machine\\Software\\Tessaly.Loop)\\x\" Empty=\"\"/></Software>"
                  "</HKEY_LOCAL_MACHINE>");
        WriteText(Root / "machine/HKEY_USERS.xml",
                  "<HKEY_USERS><S-1-5-21-1><Software><Tessaly Path=\"/u1\"/></Software></S-1-5-21-1>"
                  "<S-1-5-21-2><Software><Tessaly Path=\"($Registry:user\\Software\\Tessaly.Path)\\\"/>"
                  "</Software></S-1-5-21-2></HKEY_USERS>");
        WriteText(Root / "config/tessaly/registry/HKEY_CURRENT_USER.xml",
                  "<HKEY_CURRENT_USER><Software><Tessaly Path=\"($AppData)\\\"/></Software></HKEY_CURRENT_USER>");
    }
    ~TFixedWorld()
    {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TFixedWorld world;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string expanded = UnitLocalUtils::Expand(text);
    if (expanded.size() > UnitLocalUtils::MaxExpandedLength)
        std::abort();  // the length guard let a runaway text through
    return 0;
}
