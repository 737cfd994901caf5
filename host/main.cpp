// kelvane: the browser's native messaging host for document signing, and its one-shot modes.
#include "host/UnitCommandLine.h"
#include "host/UnitMain.h"
#include "host/UnitSigning.h"
#include "library/dorvik.h"
#include "platform/UnitTrace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Requests carry documents and file names: lines are kept only in a file the user names.
void OpenTraceFile()
{
    const char* name = std::getenv("KELVANE_TRACE_FILE");
    if (!name || !*name)
        return;
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    struct TTraceFile {
        int Fd;
        ~TTraceFile() { ::close(Fd); }
    };
    auto file = std::make_shared<TTraceFile>(fd);
    UnitTrace::SetHook([file](std::string_view line) {
        std::string text(line);
        text += '\n';
        if (::write(file->Fd, text.data(), text.size()) < 0) {
            // Tracing never stops the host.
        }
    });
}

std::string ClassName(const std::exception& e)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(typeid(e).name());
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--version") {
        std::printf("kelvane %s (dorvik %s)\n", UnitSigning::ProgramVersion().c_str(), DorvikVersion());
        return 0;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    OpenTraceFile();
    UnitMain::InstallSignalHandlers();
    // Between requests the loop serves what the library's windows still have pending.
    UnitMain::SetMessageDispatcher([] { DispatchPendingEvents(); });
    UnitTrace::Trace("{");
    UnitTrace::Trace(UnitCommandLine::JoinCommandLine(std::vector<std::string>(argv, argv + argc)));
    try {
        TNativeMessagingHost host;
        host.Listen(arguments);
    } catch (const std::exception& e) {
        UnitTrace::Trace(ClassName(e) + ": " + e.what());
    } catch (...) {
        UnitTrace::Trace("unknown failure");
    }
    UnitTrace::Trace("}");
    return 0;
}
