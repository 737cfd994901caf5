// Request XML through encoding number 16 and through the entry protocol: the built-in actions on
// arbitrary request text. Whatever the text, the answer is a response text (possibly empty) that
// reads back as a tree; nothing raises, nothing stays stored. Requests for keys of 1024 bits and
// more are skipped: their generation takes the fuzzer's time without reaching new code.
#include "actions/UnitPlugActions.h"
#include "actions/UnitActionEncodings.h"
#include "actions/UnitPlugins.h"
#include "core/UnitXmlDoc.h"
#include "crypto/UnitAsn1.h"
#include "encoding/UnitEncoding.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

void SetUpOnce()
{
    static const bool done = [] {
        // The enveloped-data action opens the user's certificate database: a scratch one.
        const auto home = std::filesystem::temp_directory_path() / ("dorvik-fuzz-home-" + std::to_string(getpid()));
        std::filesystem::create_directories(home);
        setenv("HOME", home.c_str(), 1);
        UnitPlugins::Register();
        return true;
    }();
    (void)done;
}

bool SlowKey(std::string_view text)
{
    for (std::string_view size : {"1024", "2048", "4096"})
        if (text.find(size) != std::string_view::npos)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetUpOnce();
    std::string text(reinterpret_cast<const char*>(data), size);
    if (SlowKey(text))
        return 0;

    const std::string response = UnitEncoding::EncodeBytes({data, size}, 16, UnitActionEncodings::Table());
    if (!response.empty()) {
        TXmlDoc tree;
        tree.SetXML(response);
        if (tree.GetName() != "Response")
            abort();
    }

    // The same text through the entry protocol; a stored response is fetched at once.
    text.resize(strnlen(text.c_str(), text.size()));
    int32_t length = static_cast<int32_t>(text.size());
    int32_t status = 0;
    UnitPlugActions::LibraryEntry(UnitPlugActions::CodeRequest, text.data(), &length, &status);
    if (status >= UnitPlugActions::FirstTicket) {
        std::string buffer(static_cast<size_t>(length) + 1, '\0');
        int32_t fetched = 0;
        UnitPlugActions::LibraryEntry(status, buffer.data(), &length, &fetched);
        if (fetched != UnitPlugActions::StatusHandled)
            abort();
    }
    if (UnitPlugActions::Registry().StoredCount() != 0)
        abort();
    return 0;
}
