// The host's frame reader and request handling over arbitrary standard input: frames, bodies,
// JSON of any shape. The certificate choice is cancelled, so no request reaches a signature.
#include "host/UnitMain.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool once = [] {
        ::setenv("DORVIK_SELECT", "cancel", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        return true;
    }();
    (void)once;
    auto output = std::make_unique<TMemoryOutput>();
    TMemoryOutput* written = output.get();
    auto input = std::make_unique<TMemoryInput>(std::string(reinterpret_cast<const char*>(data), size));
    const TMemoryInput* reading = input.get();
    TNativeMessagingHost host(std::move(input), std::move(output));
    // Every pass reads a prefix (and its body, if any) until the input is used up.
    for (int pass = 0; pass < 64 && !reading->Exhausted(); ++pass)
        host.ServeOneFrame();
    // Every answer is a whole frame of at most the size a browser takes.
    size_t at = 0;
    const std::string& out = written->Data;
    while (at + 4 <= out.size()) {
        const uint32_t n = uint8_t(out[at]) | uint8_t(out[at + 1]) << 8 | uint8_t(out[at + 2]) << 16 |
                           uint32_t(uint8_t(out[at + 3])) << 24;
        if (n > UnitMain::MaxResponseSize || out.size() - at - 4 < n)
            std::abort();
        at += 4 + n;
    }
    if (at != out.size())
        std::abort();
    return 0;
}
