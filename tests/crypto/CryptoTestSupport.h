// Helpers for the crypto tests: a scratch folder and the openssl command line as the
// independent reference.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace CryptoTest {

struct TCommandResult {
    int ExitCode = -1;
    std::string Output;  // stdout and stderr together
};

inline TCommandResult RunCommand(const std::string& command)
{
    TCommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    std::array<char, 4096> buffer{};
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.Output.append(buffer.data(), got);
    const int status = pclose(pipe);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Runs a command that must succeed and returns its output.
inline std::string RunOk(const std::string& command)
{
    const TCommandResult result = RunCommand(command);
    EXPECT_EQ(result.ExitCode, 0) << command << "\n" << result.Output;
    return result.Output;
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string Trim(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

inline std::string ToUpper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// A folder of its own under the system's temporary folder, removed with its contents.
class TScratch {
public:
    TScratch()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "dorvik-crypto-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            FPath = pattern;
    }
    ~TScratch()
    {
        std::error_code ec;
        if (!FPath.empty())
            std::filesystem::remove_all(FPath, ec);
    }
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

// An RSA key made by the openssl command line, in the forms the tests hand around.
struct TRsaKeyFiles {
    std::string PrivatePem;           // PKCS#8 PEM from genpkey
    std::string PublicPem;            // SubjectPublicKeyInfo PEM
    std::string PrivateBase64;        // RSAPrivateKey DER, Base64
    std::string PublicBase64;         // RSAPublicKey DER, Base64
};

inline TRsaKeyFiles MakeRsaKey(const TScratch& scratch, const std::string& name, int bits)
{
    TRsaKeyFiles key;
    key.PrivatePem = scratch / (name + ".pem");
    key.PublicPem = scratch / (name + ".pub.pem");
    RunOk("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
          " -out " + key.PrivatePem);
    RunOk("openssl pkey -in " + key.PrivatePem + " -pubout -out " + key.PublicPem);
    key.PrivateBase64 = RunOk("openssl rsa -in " + key.PrivatePem +
                              " -traditional -outform DER 2>/dev/null | openssl base64 -A");
    key.PublicBase64 = RunOk("openssl rsa -in " + key.PrivatePem +
                             " -RSAPublicKey_out -outform DER 2>/dev/null | openssl base64 -A");
    return key;
}

}  // namespace CryptoTest

namespace CryptoTest {

// Base64 text (line breaks allowed) to a binary file, decoded by python3, not by us.
inline void WriteBase64AsFile(const TScratch& scratch, const std::string& base64, const std::string& file)
{
    const std::string textFile = scratch / "base64.txt";
    WriteBytes(textFile, std::vector<uint8_t>(base64.begin(), base64.end()));
    RunOk("/usr/bin/python3 -c \"import base64,sys; sys.stdout.buffer.write(base64.b64decode(open(sys.argv[1]).read()))\" " +
          textFile + " > " + file);
}

// Bytes of a file as upper-case hex, written by python3.
inline std::string FileHex(const std::string& file)
{
    return Trim(RunOk("/usr/bin/python3 -c \"import sys; print(open(sys.argv[1],'rb').read().hex().upper())\" " + file));
}

}  // namespace CryptoTest
