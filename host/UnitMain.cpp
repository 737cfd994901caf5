#include "host/UnitMain.h"

#include "encoding/UnitEncoding.h"
#include "host/UnitCommandLine.h"
#include "host/UnitSigning.h"
#include "platform/UnitTrace.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <strings.h>
#include <unistd.h>

using nlohmann::json;
using nlohmann::ordered_json;
using UnitTrace::Trace;
using UnitEncoding::Number;
using UnitEncoding::TEncodingNumber;

namespace UnitMain {

namespace {

volatile std::sig_atomic_t TerminateFlag = 0;

TMessageDispatcher& Dispatcher()
{
    static TMessageDispatcher dispatcher;
    return dispatcher;
}

extern "C" void OnTerminateSignal(int)
{
    TerminateFlag = 1;
}

}  // namespace

void RequestTerminate() noexcept
{
    TerminateFlag = 1;
}

bool TerminateRequested() noexcept
{
    return TerminateFlag != 0;
}

void ClearTerminate() noexcept
{
    TerminateFlag = 0;
}

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read waiting for the browser returns so the flag is seen.
    action.sa_flags = 0;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A browser that went away makes writes fail instead of killing the host.
    std::signal(SIGPIPE, SIG_IGN);
}

std::string FailureWord(const std::exception& failure)
{
    if (const auto* status = dynamic_cast<const EStatusError*>(&failure)) {
        if (status->what() != status->Word())
            Trace("ERROR: " + status->Word() + ": " + status->what());
        if (!status->Word().empty())
            return status->Word();
    } else {
        Trace(std::string("ERROR: ") + failure.what());
    }
    return std::string(Words::FailedToSign);
}

std::string FitResponse(std::string answer)
{
    // Written, it would make the browser drop the connection and every later answer with it.
    if (answer.size() > MaxResponseSize)
        return R"({"action":"error","error":"ResponseTooLarge"})";
    return answer;
}

std::vector<std::string> ChunkResponse(const std::string& answer)
{
    // Room for the frame's own members around the piece.
    constexpr size_t Budget = MaxResponseSize - 128;
    std::vector<std::pair<size_t, size_t>> pieces;
    size_t start = 0;
    while (start < answer.size()) {
        // The piece grows while its escaped form fits: quotes, backslashes and control
        // characters take more room as JSON text; bytes above 0x7F are counted as the
        // three-byte replacement character in case one is not valid UTF-8.
        size_t end = start;
        size_t escaped = 0;
        while (end < answer.size()) {
            const auto c = static_cast<unsigned char>(answer[end]);
            const size_t width = c == '"' || c == '\\' ? 2
                                 : c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t' ? 2
                                 : c < 0x20 ? 6
                                 : c >= 0x80 ? 3
                                 : 1;
            if (escaped + width > Budget)
                break;
            escaped += width;
            ++end;
        }
        // Never between the bytes of one UTF-8 sequence (at most three continuation bytes).
        for (int back = 0; back < 3 && end < answer.size() && end > start + 1
                           && (static_cast<unsigned char>(answer[end]) & 0xC0) == 0x80; ++back)
            --end;
        pieces.emplace_back(start, end);
        start = end;
    }
    std::vector<std::string> frames;
    frames.reserve(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        ordered_json frame;
        frame["action"] = "chunk";
        frame["index"] = i;
        frame["count"] = pieces.size();
        frame["data"] = answer.substr(pieces[i].first, pieces[i].second - pieces[i].first);
        frames.push_back(frame.dump(-1, ' ', false, json::error_handler_t::replace));
    }
    return frames;
}

void SetMessageDispatcher(TMessageDispatcher dispatcher)
{
    Dispatcher() = std::move(dispatcher);
}

}  // namespace UnitMain

// ---- streams

bool TFileDescriptorInput::WaitReady(int milliseconds)
{
    // Input waiting, or the input's end: the pass goes on at once. A poll that cannot wait
    // (interrupted, an error) leaves the pass to its sleep.
    pollfd p{FFd, POLLIN, 0};
    const int n = ::poll(&p, 1, milliseconds);
    if (n > 0 && (p.revents & POLLIN) != 0)
        return true;
    if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return false;  // an ended input keeps the pace of the passes
    return n == 0;
}

bool TFileDescriptorInput::Ready()
{
    pollfd p{FFd, POLLIN, 0};
    const int n = ::poll(&p, 1, 0);
    return n > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

size_t TFileDescriptorInput::Read(void* buffer, size_t count)
{
    for (;;) {
        // Waits in slices: a termination signal that lands just before the read must not leave
        // the host blocked on a browser that sends nothing more.
        pollfd p{FFd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (UnitMain::TerminateRequested())
            return 0;
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t n = ::read(FFd, buffer, count);
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno != EINTR || UnitMain::TerminateRequested())
            return 0;
    }
}

bool TFileDescriptorOutput::Write(const void* buffer, size_t count)
{
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t n = ::write(FFd, p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

size_t TMemoryInput::Read(void* buffer, size_t count)
{
    const size_t n = std::min(count, FData.size() - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, n);
    FPosition += n;
    return n;
}

bool TMemoryOutput::Write(const void* buffer, size_t count)
{
    Data.append(static_cast<const char*>(buffer), count);
    return true;
}

// ---- host

namespace {

// Reads until count bytes or the end of input; a pipe hands out at most 64 KiB per read.
size_t ReadFully(TInputStream& input, void* buffer, size_t count)
{
    auto* p = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        const size_t n = input.Read(p + done, count - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

std::string MemberText(const json& request, const char* name)
{
    if (!request.is_object())
        return {};
    const auto member = request.find(name);
    if (member == request.end() || !member->is_string())
        return {};
    return member->get<std::string>();
}

std::string CompactJson(const ordered_json& value)
{
    // Texts are UTF-8 already (the system's code page); bytes that are not are replaced rather
    // than failing the answer.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The request as the trace shows it: the value of a secret attribute (the time-stamp
// authority's password) is replaced; any other request is traced as it came.
std::string RequestTraceText(const std::string& body)
{
    // Only a request that names it is parsed again (requests carry whole documents).
    constexpr std::string_view secret = "timestamppassword";
    const auto named = std::search(body.begin(), body.end(), secret.begin(), secret.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    if (named == body.end())
        return body;
    ordered_json request = ordered_json::parse(body, nullptr, false);
    if (!request.is_object())
        return body;
    const auto attrs = request.find("attrs");
    if (attrs == request.end() || !attrs->is_array())
        return body;
    bool hidden = false;
    for (size_t i = 0; i + 1 < attrs->size(); i += 2) {
        const auto& name = (*attrs)[i];
        if (name.is_string() && strcasecmp(name.get_ref<const std::string&>().c_str(), "TimestampPassword") == 0) {
            (*attrs)[i + 1] = "(hidden)";
            hidden = true;
        }
    }
    return hidden ? CompactJson(request) : body;
}

// One pass's wait: 25 ms, or less when input arrives first, so that a request is read as soon
// as it is there instead of at the end of the pass.
void WaitForPass(TInputStream& input)
{
    timespec delay{0, 25'000'000};
    if (input.WaitReady(25))
        return;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR && !UnitMain::TerminateRequested()) {
    }
}

}  // namespace

TNativeMessagingHost::TNativeMessagingHost()
    : TNativeMessagingHost(std::make_unique<TFileDescriptorInput>(STDIN_FILENO),
                           std::make_unique<TFileDescriptorOutput>(STDOUT_FILENO))
{
}

TNativeMessagingHost::TNativeMessagingHost(std::unique_ptr<TInputStream> input, std::unique_ptr<TOutputStream> output)
    : FStdIn(std::move(input)), FStdOut(std::move(output)), FRequest(std::make_unique<TXmlDoc>())
{
}

TNativeMessagingHost::~TNativeMessagingHost() = default;

int32_t TNativeMessagingHost::ReadMessageLength()
{
    if (!FStdIn->Ready())
        return 0;
    uint8_t prefix[4];
    // A prefix cut short by the end of input is the end of the conversation.
    if (ReadFully(*FStdIn, prefix, 4) != 4)
        return 0;
    const uint32_t n = uint32_t(prefix[0]) | uint32_t(prefix[1]) << 8 | uint32_t(prefix[2]) << 16 |
                       uint32_t(prefix[3]) << 24;
    // Two's complement: a top bit set is a negative length.
    return static_cast<int32_t>(n);
}

TFrame TNativeMessagingHost::ReadMessage(uint32_t n)
{
    TFrame frame;
    frame.Announced = n;
    constexpr size_t Chunk = 64u << 10;
    if (n > UnitMain::MaxRequestSize) {
        frame.TooLarge = true;
        char sink[Chunk];
        uint64_t left = n;
        while (left > 0) {
            const size_t got = FStdIn->Read(sink, std::min<uint64_t>(left, Chunk));
            if (got == 0)
                break;
            left -= got;
        }
        return frame;
    }
    // Grown as the bytes arrive: a prefix alone never makes the host reserve its length.
    while (frame.Body.size() < n) {
        const size_t old = frame.Body.size();
        const size_t want = std::min<size_t>(n - old, Chunk);
        frame.Body.resize(old + want);
        const size_t got = FStdIn->Read(frame.Body.data() + old, want);
        frame.Body.resize(old + got);
        if (got == 0)
            break;
    }
    return frame;
}

bool TNativeMessagingHost::WriteMessage(const std::string& text)
{
    const uint32_t n = static_cast<uint32_t>(text.size());
    const uint8_t prefix[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    return FStdOut->Write(prefix, 4) && FStdOut->Write(text.data(), text.size());
}

bool TNativeMessagingHost::WriteAnswer(const std::string& answer)
{
    if (!FChunkedAnswer || answer.size() <= UnitMain::MaxResponseSize)
        return WriteMessage(answer);
    const auto frames = UnitMain::ChunkResponse(answer);
    Trace("Response in " + std::to_string(frames.size()) + " chunks");
    for (const auto& frame : frames)
        if (!WriteMessage(frame))
            return false;
    return true;
}

namespace {

// What a "sign" request asks, read from its members.
struct TSignAsk {
    std::string FileName;
    std::string Content;
    std::string Type;
    std::string HashOid;
    // Set by the browser extension from the browser's sender information: shown to the person
    // choosing the certificate, never part of what is signed.
    std::string Origin;
    bool IsFile = false;
};

// The answer's material: an error word, or what was signed.
struct TSignOutcome {
    std::string Error;
    std::string Signed;          // content requests
    std::string SignedFileName;  // file requests
};

TSignAsk ReadSignAsk(const json& request)
{
    TSignAsk ask;
    ask.FileName = MemberText(request, "filename");
    ask.Content = MemberText(request, "content");
    ask.Type = MemberText(request, "type");
    ask.HashOid = UnitSigning::HashOidFromName(MemberText(request, "hash"));
    ask.Origin = MemberText(request, "origin");
    ask.IsFile = !ask.FileName.empty() && ask.Content.empty();
    return ask;
}

// The sign steps in their order; the first that fails gives the outcome's error word. The
// content is taken from the ask.
TSignOutcome SignAsked(const json& request, TSignAsk& ask, TXmlDoc& requestTree,
                       const UnitSigning::TMemoryAvailable& memoryAvailable)
{
    TSignOutcome outcome;
    if (ask.IsFile) {
        Trace("Signing " + ask.Type + ": " + ask.FileName);
        outcome.SignedFileName = UnitSigning::SignedFileName(ask.FileName, ask.Type);
    } else {
        Trace("Signing mime content");
        ask.Content = UnitSigning::RecodeText(std::move(ask.Content), Number(TEncodingNumber::Base64),
                                              Number(TEncodingNumber::Hex));
    }
    UnitSigning::CopyRequestAttributes(request, requestTree);
    if (!ask.Origin.empty())
        Trace("Origin: " + ask.Origin);
    const auto code = UnitSigning::SelectCertificateCode(ask.Origin);
    if (!code) {
        outcome.Error = "CertificateNotSelected";
        return outcome;
    }
    // A file goes from the disk to the library and back in slices; only its digest when the
    // signature is detached.
    if (ask.IsFile) {
        outcome.Error = UnitSigning::SignFile(*code, ask.FileName, ask.HashOid, ask.Type, requestTree,
                                              outcome.SignedFileName, memoryAvailable);
        return outcome;
    }
    std::string signedText =
        UnitSigning::PutSignature(*code, std::move(ask.Content), ask.HashOid, ask.Type, ask.FileName, requestTree);
    if (signedText.empty()) {
        outcome.Error = UnitSigning::SignFailureWord();
        return outcome;
    }
    Trace("Encoding mime response");
    signedText = UnitSigning::RecodeText(std::move(signedText), Number(TEncodingNumber::Hex),
                                         Number(TEncodingNumber::Base64));
    std::erase_if(signedText, [](char c) { return c == '\r' || c == '\n'; });
    outcome.Signed = std::move(signedText);
    return outcome;
}

ordered_json AnswerFor(const TSignAsk& ask, const TSignOutcome& outcome)
{
    ordered_json response;
    if (!outcome.Error.empty()) {
        response["action"] = "error";
        response["error"] = outcome.Error;
    } else if (ask.IsFile) {
        std::string shown = outcome.SignedFileName;
        std::replace(shown.begin(), shown.end(), '\\', '/');
        response["action"] = "signed";
        response["type"] = ask.Type;
        response["signedfilename"] = shown;
    } else {
        response["action"] = "signed";
        response["type"] = ask.Type;
        response["signed"] = outcome.Signed;
    }
    return response;
}

}  // namespace

std::optional<std::string> TNativeMessagingHost::HandleRequest(const std::string& text)
{
    // Not one JSON value (or not UTF-8): every member reads as empty text.
    const json request = json::parse(text, nullptr, false);
    if (!request.is_discarded() && !request.is_object())
        throw std::runtime_error("RequestIsNotAnObject");

    const std::string action = MemberText(request, "action");
    TSignAsk ask = ReadSignAsk(request);
    const auto chunked = request.is_object() ? request.find("chunked") : request.end();
    FChunkedAnswer = request.is_object() && chunked != request.end() && chunked->is_boolean() && chunked->get<bool>();

    if (action == "finish") {
        Trace("Countdown to finish");
        FCountdown = UnitMain::FinishCountdown;
        return std::nullopt;
    }
    if (action != "sign") {
        Trace("Unknown action");
        FCountdown = UnitMain::FinishCountdown;
        return std::nullopt;
    }

    TSignOutcome outcome;
    try {
        outcome = SignAsked(request, ask, *FRequest, FMemoryAvailable);
    } catch (const std::exception& e) {
        outcome = {UnitMain::FailureWord(e), {}, {}};
    }
    FResultWord = outcome.Error.empty() ? "OK" : "Error:" + outcome.Error;
    std::string answer = CompactJson(AnswerFor(ask, outcome));
    if (!FChunkedAnswer)
        answer = UnitMain::FitResponse(std::move(answer));
    if (answer.size() < 100 && answer.find("ResponseTooLarge") != std::string::npos)
        FResultWord = "Error:ResponseTooLarge";
    FCountdown += UnitMain::SignedBonus;
    return answer;
}

std::optional<std::string> TNativeMessagingHost::ServeRequest(const std::string& text)
{
    try {
        return HandleRequest(text);
    } catch (const std::exception& e) {
        Trace(std::string("ERROR: ") + e.what());
    } catch (...) {
        Trace("ERROR: unknown failure");
    }
    return std::nullopt;
}

bool TNativeMessagingHost::ServeOneFrame()
{
    const int32_t n = ReadMessageLength();
    // 0 or negative: no body is read, the pass ends. Read as 2-4 GiB, a negative length would
    // swallow the requests behind it.
    if (n <= 0) {
        if (n < 0)
            Trace("ERROR: negative message length " + std::to_string(n));
        return false;
    }
    const TFrame frame = ReadMessage(static_cast<uint32_t>(n));
    // A read cut short by a termination request is not a request.
    if (UnitMain::TerminateRequested())
        return false;
    if (frame.TooLarge) {
        Trace("ERROR: request of " + std::to_string(frame.Announced) + " bytes is too large");
        const std::string answer = CompactJson(ordered_json{{"action", "error"}, {"error", "RequestTooLarge"}});
        Trace("Response " + answer);
        if (!WriteMessage(answer))
            Trace("ERROR: the answer could not be written");
        return true;
    }
    if (frame.Body.empty())
        return false;
    Trace("Request " + RequestTraceText(frame.Body));
    FChunkedAnswer = false;
    if (const auto answer = ServeRequest(frame.Body)) {
        Trace("Response " + *answer);
        if (!WriteAnswer(*answer))
            Trace("ERROR: the answer could not be written");
    }
    return true;
}

void TNativeMessagingHost::RunMessageLoop()
{
    FCountdown = UnitMain::StartCountdown;
    while (!UnitMain::TerminateRequested()) {
        WaitForPass(*FStdIn);
        if (UnitMain::TerminateRequested())
            break;
        if (auto& dispatcher = UnitMain::Dispatcher())
            dispatcher();
        if (FCountdown > 0 && --FCountdown == 0) {
            Trace("Countdown is over");
            UnitMain::RequestTerminate();
            break;
        }
        ServeOneFrame();
    }
}

void TNativeMessagingHost::RunSelect()
{
    const auto code = UnitSigning::SelectCertificateCode();
    FResultWord = code ? "Signer " + *code : "Failed";
}

std::string TNativeMessagingHost::Parameter(std::string_view name) const
{
    const TXmlDoc* node = FRequest->FindNode(name);
    return node ? node->GetValue() : std::string();
}

void TNativeMessagingHost::RunDigest()
{
    const std::string oid = UnitSigning::HashOidFromName(Parameter("Hash"));
    const std::string file = Parameter("File");
    const std::string digest = UnitSigning::DigestFile(file, oid);
    ordered_json answer;
    answer["file"] = file;
    answer["hash"] = digest;
    if (!WriteMessage(CompactJson(answer)))
        Trace("ERROR: the answer could not be written");
    FResultWord = "Done";
}

void TNativeMessagingHost::RunSign()
{
    FResultWord = "Failed";
    const std::string type = Parameter("Type");
    const std::string oid = UnitSigning::HashOidFromName(Parameter("Hash"));
    const std::string file = Parameter("File");
    // Every type is written under this name, PDF signatures included.
    const std::string signedFileName = file + ".p7s";
    const auto code = UnitSigning::SelectCertificateCode();
    if (!code) {
        FResultWord = "FailedToSelect";
        return;
    }
    const std::string word = UnitSigning::SignFile(*code, file, oid, type, *FRequest, signedFileName, FMemoryAvailable);
    // The mode's words: the library's own refusals read as "FailedToSign".
    FResultWord = word.empty() ? "OK" : word == "FailedToLoad" || word == "FailedToSave" ? word : "FailedToSign";
}

void TNativeMessagingHost::Listen(const std::vector<std::string>& arguments)
{
    FResultWord = "Unknown";
    FRequest = std::make_unique<TXmlDoc>();
    UnitCommandLine::LoadCommandLine(*FRequest, arguments);
    const TXmlDoc* modeNode = FRequest->FindNode("Mode");
    const std::string mode = modeNode ? modeNode->GetValue() : std::string();
    if (UnitXmlDoc::SameText(mode, "SELECT"))
        RunSelect();
    else if (UnitXmlDoc::SameText(mode, "DIGEST"))
        RunDigest();
    else if (UnitXmlDoc::SameText(mode, "SIGN"))
        RunSign();
    else
        RunMessageLoop();
    Trace("Code: " + FResultWord);
    FRequest = std::make_unique<TXmlDoc>();
}
