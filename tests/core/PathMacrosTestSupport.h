// A scratch world for the path-macro and registry tests: every variable the folder lookups
// read is cleared, HOME, XDG_CONFIG_HOME, TEMP and the machine registry folder point into a
// fresh temporary tree, and everything is put back afterwards. The real user's folders and
// /etc are never touched.
#pragma once

#include "platform/UnitPlatformFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <unistd.h>

class TScratchFolders : public ::testing::Test {
protected:
    static constexpr const char* Watched[] = {
        "HOME", "USERPROFILE", "LOCALAPPDATA", "APPDATA", "PROGRAMFILES", "ProgramFiles",
        "COMMONPROGRAMFILES", "CommonProgramFiles", "PROGRAMDATA", "ProgramData", "ALLUSERSPROFILE",
        "TEMP", "TMP", "TMPDIR", "SYSTEMROOT", "SystemRoot", "WINDIR", "windir", "XDG_CONFIG_HOME",
        "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "XDG_MUSIC_DIR",
        "XDG_PICTURES_DIR", "XDG_DOCUMENTS_DIR", "XDG_DESKTOP_DIR", "XDG_DOWNLOAD_DIR",
        "DORVIK_REGISTRY_DIR"};

    void SetUp() override
    {
        for (const char* name : Watched) {
            if (const char* value = std::getenv(name))
                FSaved[name] = value;
            ::unsetenv(name);
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        FRoot = std::filesystem::temp_directory_path() /
                ("dorvik-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(FRoot);
        for (const char* folder : {"home", "config", "temp", "machine"})
            std::filesystem::create_directories(FRoot / folder);
        ::setenv("HOME", (FRoot / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (FRoot / "config").c_str(), 1);
        ::setenv("TEMP", (FRoot / "temp").c_str(), 1);
        ::setenv("DORVIK_REGISTRY_DIR", (FRoot / "machine").c_str(), 1);
    }

    void TearDown() override
    {
        for (const char* name : Watched)
            ::unsetenv(name);
        for (const auto& [name, value] : FSaved)
            ::setenv(name.c_str(), value.c_str(), 1);
        std::filesystem::remove_all(FRoot);
    }

    // A folder of the scratch tree as the system writes it ("\" between the steps).
    std::string Sys(const std::string& relative) const
    {
        return UnitPlatformFiles::ToSystemPath((FRoot / relative).string());
    }

    void WriteFile(const std::filesystem::path& path, const std::string& text) const
    {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    std::filesystem::path FRoot;
    std::map<std::string, std::string> FSaved;
};
