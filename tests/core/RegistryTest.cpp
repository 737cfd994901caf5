#include "core/UnitLocalUtils.h"
#include "core/UnitRegistryUtils.h"
#include "core/UnitXmlDoc.h"
#include "PathMacrosTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

using UnitLocalUtils::Expand;
using UnitRegistryUtils::RegistryString;
using UnitRegistryUtils::TRegistryRoot;

std::string Login()
{
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr ? entry->pw_name : "";
}

class Registry : public TScratchFolders {
protected:
    void Machine(const std::string& root, const std::string& xml) const
    {
        WriteFile(FRoot / "machine" / (root + ".xml"), xml);
    }
    void CurrentUser(const std::string& xml) const
    {
        WriteFile(FRoot / "config/tessaly/registry/HKEY_CURRENT_USER.xml", xml);
    }
};

}  // namespace

TEST_F(Registry, RootNamesAndHiveFiles)
{
    EXPECT_EQ(UnitRegistryUtils::RootFromName("hkey_local_machine"), TRegistryRoot::LocalMachine);
    EXPECT_EQ(UnitRegistryUtils::RootFromName("HKEY_Users"), TRegistryRoot::Users);
    EXPECT_EQ(UnitRegistryUtils::RootFromName("HKEY_CLASSES_ROOT"), TRegistryRoot::ClassesRoot);
    EXPECT_EQ(UnitRegistryUtils::RootFromName("HKEY_PERFORMANCE_DATA"), TRegistryRoot::PerformanceData);
    EXPECT_EQ(UnitRegistryUtils::RootFromName("HKLM"), TRegistryRoot::CurrentUser);
    EXPECT_EQ(UnitRegistryUtils::RootFromName(""), TRegistryRoot::CurrentUser);

    EXPECT_EQ(UnitRegistryUtils::HiveFileName(TRegistryRoot::CurrentUser),
              (FRoot / "config/tessaly/registry/HKEY_CURRENT_USER.xml").string());
    EXPECT_EQ(UnitRegistryUtils::HiveFileName(TRegistryRoot::LocalMachine),
              (FRoot / "machine/HKEY_LOCAL_MACHINE.xml").string());

    ::unsetenv("DORVIK_REGISTRY_DIR");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(UnitRegistryUtils::HiveFileName(TRegistryRoot::Users), "/etc/tessaly/registry/HKEY_USERS.xml");
    EXPECT_EQ(UnitRegistryUtils::HiveFileName(TRegistryRoot::CurrentUser),
              (FRoot / "home/.config/tessaly/registry/HKEY_CURRENT_USER.xml").string());
}

TEST_F(Registry, StringsAreFoundIgnoringCaseWithTheDefaultOtherwise)
{
    Machine("HKEY_LOCAL_MACHINE",
            "<HKEY_LOCAL_MACHINE>\r\n"
            "\t<SOFTWARE>\r\n"
            "\t\t<Tessaly Path=\"/srv/tessaly\" Empty=\"\">default text</Tessaly>\r\n"
            "\t\t<Microsoft><Windows><CurrentVersion><Explorer>"
            "<Shell&#x20;Folders Local&#x20;AppData=\"/data/local\"/>"
            "</Explorer></CurrentVersion></Windows></Microsoft>\r\n"
            "\t</SOFTWARE>\r\n"
            "</HKEY_LOCAL_MACHINE>\r\n");

    EXPECT_EQ(RegistryString("HKEY_LOCAL_MACHINE\\Software\\Tessaly", "path", "d"), "/srv/tessaly");
    EXPECT_EQ(RegistryString("hkey_local_machine\\software\\TESSALY\\", "PATH", "d"), "/srv/tessaly");
    EXPECT_EQ(RegistryString("HKEY_LOCAL_MACHINE\\Software\\Tessaly", "", "d"), "default text");
    EXPECT_EQ(RegistryString("HKEY_LOCAL_MACHINE\\Software\\Tessaly", "Empty", "d"), "d");
    EXPECT_EQ(RegistryString("HKEY_LOCAL_MACHINE\\Software\\Tessaly", "Missing", "d"), "d");
    EXPECT_EQ(RegistryString("HKEY_LOCAL_MACHINE\\Software\\Nope", "Path", "d"), "d");
    EXPECT_EQ(RegistryString("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                             "Local AppData", "d"),
              "/data/local");
    // Another root has its own file, which does not exist here.
    EXPECT_EQ(RegistryString("HKEY_CLASSES_ROOT\\Software\\Tessaly", "Path", "d"), "d");
    // An unknown root name means the current user.
    CurrentUser("<HKEY_CURRENT_USER><Software><Tessaly Path=\"/home/own\"/></Software></HKEY_CURRENT_USER>");
    EXPECT_EQ(RegistryString("HKCU\\Software\\Tessaly", "Path", "d"), "/home/own");

    EXPECT_EQ(UnitRegistryUtils::ReadString(TRegistryRoot::LocalMachine, "Software\\Tessaly", "Missing"), "");
    EXPECT_EQ(UnitRegistryUtils::ReadString(TRegistryRoot::LocalMachine, "Software\\Nope", "Path"), std::nullopt);
    EXPECT_EQ(UnitRegistryUtils::SubKeyNames(TRegistryRoot::LocalMachine, "software"),
              (std::vector<std::string>{"Tessaly", "Microsoft"}));
    EXPECT_EQ(UnitRegistryUtils::SubKeyNames(TRegistryRoot::LocalMachine, "Software\\Nope"), std::nullopt);
}

TEST_F(Registry, MachineMacroReadsTheValueAsAFolder)
{
    Machine("HKEY_LOCAL_MACHINE",
            "<HKEY_LOCAL_MACHINE><Software><Tessaly Path=\"\\srv\\tessaly\" Slash=\"\\srv\\t\\\" "
            "Macro=\"($MyTemp)\\reg\" Loop=\"($Registry:machine\\Software\\Tessaly.Loop)\\x\" "
            "Empty=\"\"/><Tessaly.Dotted Path=\"\\dotted\"/></Software></HKEY_LOCAL_MACHINE>");

    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Path)\\sub\\f.xml"), "\\srv\\tessaly\\sub\\f.xml");
    EXPECT_EQ(Expand("($Registry:MACHINE\\Software\\Tessaly.Slash)\\f.xml"), "\\srv\\t\\f.xml");
    EXPECT_EQ(Expand("pre:($Registry:machine\\Software\\Tessaly.Path)\\f"), "pre:\\srv\\tessaly\\f");
    // Without ")\" the macro runs to the end and the value is taken as it is.
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Path"), "\\srv\\tessaly");
    // The value name follows the last dot; dots before it belong to the key.
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Dotted.Path)\\x"), "\\dotted\\x");
    // Values may hold macros of their own.
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Macro)\\x"), Sys("temp") + "\\reg\\x");
}

TEST_F(Registry, UnreadableMacrosGiveTheEmptyPath)
{
    Machine("HKEY_LOCAL_MACHINE",
            "<HKEY_LOCAL_MACHINE><Software><Tessaly Empty=\"\" "
            "Loop=\"($Registry:machine\\Software\\Tessaly.Loop)\\x\"/></Software></HKEY_LOCAL_MACHINE>");
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Nope.Path)\\x"), "");
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Missing)\\x"), "");
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Empty)\\x"), "");
    EXPECT_EQ(Expand("($Registry:classes\\Software\\Tessaly.Path)\\x"), "");
    EXPECT_EQ(Expand("($Registry:nowhere\\Software\\Tessaly.Path)\\x"), "");
    EXPECT_EQ(Expand("($Registry:)\\x"), "");
    // A value that names itself would be read forever.
    EXPECT_EQ(Expand("($Registry:machine\\Software\\Tessaly.Loop)\\x"), "");
}

TEST_F(Registry, UsersMacroReadsOneProfile)
{
    Machine("HKEY_USERS",
            "<HKEY_USERS><S-1-5-21-1001><Software><Tessaly Path=\"\\u1\"/></Software></S-1-5-21-1001></HKEY_USERS>");
    EXPECT_EQ(Expand("($Registry:users\\S-1-5-21-1001\\Software\\Tessaly.Path)\\x"), "\\u1\\x");
    EXPECT_EQ(Expand("($Registry:users\\S-1-5-21-1002\\Software\\Tessaly.Path)\\x"), "");
}

TEST_F(Registry, UserMacroJoinsEveryProfileOnceInOrder)
{
    Machine("HKEY_USERS",
            "<HKEY_USERS>"
            "<S-1-5-21-1001><Software><Tessaly Path=\"\\a\"/></Software></S-1-5-21-1001>"
            "<S-1-5-21-1002><Software><Other Path=\"\\ignored\"/></Software></S-1-5-21-1002>"
            "<S-1-5-21-1003><Software><Tessaly Path=\"\\b\"/></Software></S-1-5-21-1003>"
            "<S-1-5-21-1004><Software><tessaly path=\"\\a\\\"/></Software></S-1-5-21-1004>"
            "</HKEY_USERS>");
    EXPECT_EQ(Expand("($Registry:user\\Software\\Tessaly.Path)\\x"), "\\a\\x|\\b\\x");
    EXPECT_EQ(Expand("pre\\($Registry:User\\Software\\Tessaly.Path)\\post"), "pre\\\\a\\post|pre\\\\b\\post");

    // The running user's own hive is one of the loaded profiles, listed after the others.
    CurrentUser("<HKEY_CURRENT_USER><Software><Tessaly Path=\"\\own\"/></Software></HKEY_CURRENT_USER>");
    EXPECT_EQ(Expand("($Registry:user\\Software\\Tessaly.Path)\\x"), "\\a\\x|\\b\\x|\\own\\x");
    const auto profiles = UnitRegistryUtils::SubKeyNames(TRegistryRoot::Users, "");
    ASSERT_TRUE(profiles);
    EXPECT_EQ(profiles->back(), Login());
    EXPECT_EQ(Expand("($Registry:users\\" + Login() + "\\Software\\Tessaly.Path)\\x"), "\\own\\x");
}

TEST_F(Registry, UserMacroFallsBackToTheCurrentUser)
{
    CurrentUser("<HKEY_CURRENT_USER><Software><Tessaly Path=\"($MyTemp)\\mine\"/></Software></HKEY_CURRENT_USER>");
    EXPECT_EQ(Expand("($Registry:user\\Software\\Tessaly.Path)\\x"), Sys("temp") + "\\mine\\x");

    Machine("HKEY_USERS", "<HKEY_USERS><S-1-5-21-1001><Software/></S-1-5-21-1001></HKEY_USERS>");
    EXPECT_EQ(Expand("($Registry:user\\Software\\Tessaly.Path)\\x"), Sys("temp") + "\\mine\\x");
    EXPECT_EQ(Expand("($Registry:user\\Software\\Tessaly.Missing)\\x"), "");
}

TEST(RegistryTree, KeysAndValuesOfAHiveInMemory)
{
    TXmlDoc hive("HKEY_LOCAL_MACHINE");
    TXmlDoc* tessaly = hive.New("Software")->New("Tessaly");
    tessaly->Setp("Path", "\\srv");
    tessaly->SetValue("default");
    tessaly->New("Varnel");
    tessaly->New("Pellam");

    EXPECT_EQ(UnitRegistryUtils::ReadString(hive, "SOFTWARE\\tessaly", "PATH"), "\\srv");
    EXPECT_EQ(UnitRegistryUtils::ReadString(hive, "Software\\Tessaly", ""), "default");
    EXPECT_EQ(UnitRegistryUtils::ReadString(hive, "Software\\Tessaly", "Other"), "");
    EXPECT_EQ(UnitRegistryUtils::ReadString(hive, "Software\\Tessaly\\Nope", "Path"), std::nullopt);
    EXPECT_EQ(UnitRegistryUtils::SubKeyNames(hive, "Software\\Tessaly"),
              (std::vector<std::string>{"Varnel", "Pellam"}));
    EXPECT_EQ(UnitRegistryUtils::SubKeyNames(hive, ""), (std::vector<std::string>{"Software"}));
    // Looking keys up never adds any.
    EXPECT_EQ(tessaly->GetNodeCount(), 2);
    EXPECT_EQ(tessaly->GetPropertyCount(), 1);
}
