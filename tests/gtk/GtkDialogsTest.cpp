// The PIN prompt and the certificate viewer in real windows on a virtual X server, answered with
// xdotool from a second thread while the dialog runs on this one.
#include "crypto/UnitCertificates.h"
#include "library/UnitGtkDialogs.h"
#include "platform/nss/UnitNssCore.h"
#include "resources/UnitResourceBag.h"
#include "resources/UnitResources.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        std::array<char, 512> buffer {};
        size_t got;
        while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            out.append(buffer.data(), got);
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// One Xvfb for the whole program, and a scratch HOME with an empty NSS database.
class TDesktop : public ::testing::Environment {
public:
    void SetUp() override
    {
        int number = 200;
        while (number < 260 && (fs::exists("/tmp/.X11-unix/X" + std::to_string(number)) || fs::exists("/tmp/.X" + std::to_string(number) + "-lock")))
            ++number;
        Display = ":" + std::to_string(number);
        FServer = fork();
        if (FServer == 0) {
            unsetenv("LD_PRELOAD");
            execlp("Xvfb", "Xvfb", Display.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !fs::exists("/tmp/.X11-unix/X" + std::to_string(number)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        setenv("DISPLAY", Display.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("DORVIK_PIN");
        Home = fs::temp_directory_path() / ("dorvik-gtk-" + std::to_string(getpid()));
        fs::create_directories(Home / ".pki" / "nssdb");
        setenv("HOME", Home.c_str(), 1);
        Shell("certutil -N --empty-password -d sql:" + (Home / ".pki" / "nssdb").string());
        UnitResources::SetCentre(std::make_unique<TResourceCentre>(UnitResourceBag::BagResource()));
        UnitResources::Centre()->SetLanguage("pt");
        UnitGtkDialogs::Install();
    }
    void TearDown() override
    {
        if (FServer > 0) {
            kill(FServer, SIGTERM);
            waitpid(FServer, nullptr, 0);
        }
        fs::remove_all(Home);
    }
    static inline std::string Display;
    static inline fs::path Home;

private:
    pid_t FServer = -1;
};

// Waits for a window whose title holds `title`, then types into it.
std::thread Answer(std::string title, std::vector<std::string> keys, std::string shot = {})
{
    return std::thread([title = std::move(title), keys = std::move(keys), shot = std::move(shot)] {
        const std::string env = "env -u LD_PRELOAD DISPLAY=" + TDesktop::Display + " ";
        std::string window;
        for (int i = 0; i < 200 && window.empty(); ++i) {
            window = Shell(env + "xdotool search --onlyvisible --name '" + title + "' | head -1");
            if (window.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (window.empty())
            return;  // the test then fails on the dialog's outcome, or hangs until ctest's timeout
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (!shot.empty()) {
            fs::create_directories(std::string(DORVIK_BINARY_DIR) + "/dialog-screenshots");
            Shell(env + "import -window root " + std::string(DORVIK_BINARY_DIR) + "/dialog-screenshots/" + shot);
        }
        Shell(env + "xdotool windowfocus --sync " + window);
        for (const auto& key : keys) {
            if (key.rfind("type:", 0) == 0)
                Shell(env + "xdotool type --delay 50 '" + key.substr(5) + "'");
            else
                Shell(env + "xdotool key --clearmodifiers " + key);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
}

}  // namespace

TEST(PinPrompt, TheTypedPinComesBackAndCancelGivesNone)
{
    // The prompt the library installed at load, taken back out to be called directly.
    UnitNssCore::TPinPrompt prompt = UnitNssCore::SetPinPrompt(nullptr);
    ASSERT_TRUE(prompt) << "a display is present, so the desktop prompt is installed";

    std::thread typist = Answer("Senha do dispositivo", {"type:4321", "Return"}, "pin-prompt.png");
    auto pin = prompt("Cartão ICP", false);
    typist.join();
    ASSERT_TRUE(pin.has_value());
    EXPECT_EQ(pin->Text(), "4321");

    typist = Answer("Senha do dispositivo", {"type:999", "Escape"});
    auto cancelled = prompt("Cartão ICP", true);
    typist.join();
    EXPECT_FALSE(cancelled.has_value());
    UnitNssCore::SetPinPrompt(prompt);
}

TEST(OriginLine, TheOriginInTheSelectorsSentence)
{
    EXPECT_EQ(UnitGtkDialogs::OriginLine("https://example.gov.br"), "https://example.gov.br pede a sua assinatura");
    EXPECT_EQ(UnitGtkDialogs::OriginLine(""), "");
    // Display text only: control characters go, a long origin is cut with an ellipsis, bytes
    // that are not UTF-8 are replaced.
    EXPECT_EQ(UnitGtkDialogs::OriginLine("https://a\nb\x01.example"), "https://ab.example pede a sua assinatura");
    EXPECT_EQ(UnitGtkDialogs::OriginLine("\x02\x03"), "");
    const std::string line = UnitGtkDialogs::OriginLine("https://" + std::string(300, 'x') + ".example");
    EXPECT_EQ(line, "https://" + std::string(91, 'x') + "\u2026 pede a sua assinatura");
    EXPECT_NE(UnitGtkDialogs::OriginLine("https://\xff\xfe.example").find("https://"), std::string::npos);
}

TEST(CertificateViewer, ShowsTheCertificateUntilClosed)
{
    const fs::path pem = TDesktop::Home / "viewer.pem";
    Shell("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + (TDesktop::Home / "viewer.key").string() + " -out " +
          pem.string() + " -days 5 -subj /CN=Viewer -outform PEM");
    const std::string der = Shell("openssl x509 -in " + pem.string() + " -outform DER | base64 -w0");
    ASSERT_FALSE(der.empty());

    std::thread closer = Answer("Certificado digital", {"Return"}, "certificate-viewer.png");
    const bool shown = UnitCertificates::DisplayCertificateData(der);
    closer.join();
    EXPECT_TRUE(shown);
    EXPECT_FALSE(UnitCertificates::DisplayCertificateData("not a certificate"));
    // Nothing of the viewer stays on the screen.
    EXPECT_EQ(Shell("env -u LD_PRELOAD DISPLAY=" + TDesktop::Display + " xdotool search --onlyvisible --name 'Certificado digital'"), "");
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new TDesktop);
    return RUN_ALL_TESTS();
}
