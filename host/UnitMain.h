// The native messaging host: framed JSON requests on standard input, framed JSON answers on
// standard output, the idle countdown that ends the program, and the one-shot modes.
//
// Frame, both directions: the body's length as 4 bytes little-endian, then the UTF-8 JSON body.
#pragma once

#include "core/UnitXmlDoc.h"
#include "host/UnitSigning.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace UnitMain {

// Longest request body the host takes in; longer frames (up to 2^31 - 1 bytes, the largest
// length a prefix gives) are read past and answered with an error so that the next frame is
// still found where it starts.
inline constexpr uint32_t MaxRequestSize = 256u << 20;
// Browsers drop the connection when a host sends them a message above 1 MiB.
inline constexpr size_t MaxResponseSize = 1u << 20;
inline constexpr int StartCountdown = 1000;
inline constexpr int FinishCountdown = 100;
inline constexpr int SignedBonus = 100;

// The answer itself when a browser takes it, else the "ResponseTooLarge" error answer.
std::string FitResponse(std::string answer);

// The frame bodies that carry an answer too large for one frame, for a request that asked for
// them with "chunked": true. Each body is
//   {"action":"chunk","index":i,"count":n,"data":"<piece of the answer's text>"}
// of at most MaxResponseSize bytes; the pieces, joined in index order, are the answer's text.
// Pieces never split a UTF-8 sequence.
std::vector<std::string> ChunkResponse(const std::string& answer);

// The error text of a sign request that failed with `failure`: the word of an EStatusError
// (core/UnitStatusWords.h); any other failure (a library's, nlohmann's, the system's) answers
// "FailedToSign" and its message goes to the trace only, never to the browser.
std::string FailureWord(const std::exception& failure);

// The application-wide terminate flag; SIGTERM, SIGINT and SIGHUP set it.
void RequestTerminate() noexcept;
bool TerminateRequested() noexcept;
void ClearTerminate() noexcept;
void InstallSignalHandlers();

// Serves the waiting window messages of the main thread between passes (none until a dialog
// layer plugs in).
using TMessageDispatcher = std::function<void()>;
void SetMessageDispatcher(TMessageDispatcher dispatcher);

}  // namespace UnitMain

// Where request bytes come from.
class TInputStream {
public:
    virtual ~TInputStream() = default;
    // True when a read would not wait: bytes are waiting or the input has ended.
    virtual bool Ready() = 0;
    // Waits up to `milliseconds` for bytes to arrive; true when the wait is over (bytes are
    // waiting, or the time passed), false when it did not wait (the caller then keeps its own
    // pace). Streams that never wait answer false.
    virtual bool WaitReady(int /*milliseconds*/) { return false; }
    // Up to `count` bytes; 0 at the end of input, on an error, or when the terminate flag is set.
    virtual size_t Read(void* buffer, size_t count) = 0;
};

class TOutputStream {
public:
    virtual ~TOutputStream() = default;
    // Writes all bytes at once, unbuffered; false when they could not all be written.
    virtual bool Write(const void* buffer, size_t count) = 0;
};

class TFileDescriptorInput : public TInputStream {
public:
    explicit TFileDescriptorInput(int fd) : FFd(fd) {}
    bool Ready() override;
    bool WaitReady(int milliseconds) override;
    size_t Read(void* buffer, size_t count) override;

private:
    int FFd;
};

class TFileDescriptorOutput : public TOutputStream {
public:
    explicit TFileDescriptorOutput(int fd) : FFd(fd) {}
    bool Write(const void* buffer, size_t count) override;

private:
    int FFd;
};

// Bytes from memory, for tests and fuzzing: always ready.
class TMemoryInput : public TInputStream {
public:
    explicit TMemoryInput(std::string data) : FData(std::move(data)) {}
    bool Ready() override { return true; }
    size_t Read(void* buffer, size_t count) override;
    bool Exhausted() const { return FPosition >= FData.size(); }

private:
    std::string FData;
    size_t FPosition = 0;
};

class TMemoryOutput : public TOutputStream {
public:
    bool Write(const void* buffer, size_t count) override;
    std::string Data;
};

// The message body read for one frame.
struct TFrame {
    uint32_t Announced = 0;  // the length prefix
    std::string Body;        // what arrived of it (shorter at the end of input)
    bool TooLarge = false;   // above MaxRequestSize: the body was read past, not kept
};

class TNativeMessagingHost {
public:
    // On the process's standard input and output.
    TNativeMessagingHost();
    TNativeMessagingHost(std::unique_ptr<TInputStream> input, std::unique_ptr<TOutputStream> output);
    ~TNativeMessagingHost();
    TNativeMessagingHost(const TNativeMessagingHost&) = delete;
    TNativeMessagingHost& operator=(const TNativeMessagingHost&) = delete;

    // The announced length, a signed 32-bit integer: 0 when no frame is waiting or the input
    // ended inside the prefix, negative when the prefix has its top bit set (no body follows).
    int32_t ReadMessageLength();
    // Reads the body of a frame of n bytes, growing the text only as bytes arrive.
    TFrame ReadMessage(uint32_t n);
    // Writes the prefix and the body, one write each. False when the output failed.
    bool WriteMessage(const std::string& text);
    // Writes an answer of HandleRequest: as one frame, or as chunk frames when it is too large
    // for one and its request asked for chunks.
    bool WriteAnswer(const std::string& answer);

    // Builds the request tree from the arguments and runs the selected mode or the loop.
    void Listen(const std::vector<std::string>& arguments);
    void RunMessageLoop();

    // Handles one request text; the answer to write, if any. Failures outside the sign steps
    // are raised to the caller.
    std::optional<std::string> HandleRequest(const std::string& text);
    // HandleRequest with the loop's catch: failures are traced and produce no answer.
    std::optional<std::string> ServeRequest(const std::string& text);

    // Reads one frame if one is waiting and serves it; false when no body was read (nothing
    // waiting, or a prefix of 0 or below).
    bool ServeOneFrame();

    // Where the host learns how much memory the machine has available before it takes on a
    // document (MemAvailable of /proc/meminfo unless set).
    void SetMemoryAvailable(UnitSigning::TMemoryAvailable source) { FMemoryAvailable = std::move(source); }

    int Countdown() const { return FCountdown; }
    void SetCountdown(int countdown) { FCountdown = countdown; }
    const std::string& ResultWord() const { return FResultWord; }
    TXmlDoc& RequestTree() { return *FRequest; }

private:
    std::string Parameter(std::string_view name) const;
    void RunSelect();
    void RunDigest();
    void RunSign();

    std::unique_ptr<TInputStream> FStdIn;
    std::unique_ptr<TOutputStream> FStdOut;
    std::unique_ptr<TXmlDoc> FRequest;
    int FCountdown = UnitMain::StartCountdown;
    std::string FResultWord = "Unknown";
    bool FChunkedAnswer = false;  // the request being answered takes chunk frames
    UnitSigning::TMemoryAvailable FMemoryAvailable = UnitSigning::MemAvailableFromProc;
};
