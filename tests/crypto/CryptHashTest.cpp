#include "crypto/UnitCryptHash.h"
#include "encoding/UnitCodecs.h"
#include "crypto/UnitOpenSsl.h"

#include "CryptoTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

using namespace UnitCryptHash;
using namespace CryptoTest;

namespace {

struct TReferenceAlgorithm {
    TCryptHash Hash;
    const char* OpenSslName;
    bool Legacy;
};

constexpr TReferenceAlgorithm Algorithms[] = {
    {TCryptHash::MD5, "md5", false},       {TCryptHash::SHA1, "sha1", false},
    {TCryptHash::MD4, "md4", true},        {TCryptHash::SHA224, "sha224", false},
    {TCryptHash::SHA256, "sha256", false}, {TCryptHash::SHA384, "sha384", false},
    {TCryptHash::SHA512, "sha512", false}, {TCryptHash::RIPEMD160, "ripemd160", true},
};

std::string ReferenceDigest(const TReferenceAlgorithm& algorithm, const std::string& file)
{
    const std::string providers = algorithm.Legacy ? " -provider legacy -provider default" : "";
    const std::string out =
        RunOk(std::string("openssl dgst -") + algorithm.OpenSslName + providers + " -r " + file);
    return ToUpper(out.substr(0, out.find(' ')));
}

// python3's hashlib as a second, independent reference.
std::string PythonDigest(const std::string& name, const std::string& asciiText)
{
    return ToUpper(Trim(RunOk("/usr/bin/python3 -c \"import hashlib; print(hashlib." + name + "(b'" +
                              asciiText + "').hexdigest())\"")));
}

class DigestAgainstOpenSsl : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Scratch = std::make_unique<TScratch>();
        std::mt19937 random(12345);
        std::vector<uint8_t> big(3 * (1u << 20) + 17);  // crosses the 1 MiB read chunks
        for (auto& b : big)
            b = static_cast<uint8_t>(random());
        std::vector<uint8_t> binary(1000);
        for (size_t i = 0; i < binary.size(); ++i)
            binary[i] = static_cast<uint8_t>(i * 7);
        Inputs = {{}, {'a', 'b', 'c'}, binary, big};
        for (size_t i = 0; i < Inputs.size(); ++i) {
            Files.push_back(*Scratch / ("input" + std::to_string(i)));
            WriteBytes(Files.back(), Inputs[i]);
        }
    }
    static void TearDownTestSuite() { Scratch.reset(); }

    static inline std::unique_ptr<TScratch> Scratch;
    static inline std::vector<std::vector<uint8_t>> Inputs;
    static inline std::vector<std::string> Files;
};

}  // namespace

TEST_F(DigestAgainstOpenSsl, EveryRowMatchesTheCommandLineOnEveryInput)
{
    for (const auto& algorithm : Algorithms) {
        for (size_t i = 0; i < Inputs.size(); ++i) {
            SCOPED_TRACE(std::string(algorithm.OpenSslName) + " input " + std::to_string(i));
            const std::string expected = ReferenceDigest(algorithm, Files[i]);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(DigestFile(Files[i], algorithm.Hash), expected);
            EXPECT_EQ(DigestBytes(Inputs[i], algorithm.Hash), expected);
            const std::string text(Inputs[i].begin(), Inputs[i].end());
            EXPECT_EQ(DigestText(text, algorithm.Hash), expected);
            std::istringstream stream(text);
            EXPECT_EQ(DigestStream(stream, algorithm.Hash), expected);
            if (!Inputs[i].empty()) {
                EXPECT_EQ(DigestHex(UnitCodecs::HexEncode(Inputs[i]), algorithm.Hash), expected);
            }
        }
    }
}

TEST_F(DigestAgainstOpenSsl, HexInputMayBeLowerCase)
{
    EXPECT_EQ(DigestHex("6a6B", TCryptHash::SHA1), DigestText("jk", TCryptHash::SHA1));
}

TEST(Digest, EmptyFileIsTheDigestOfNoDataButEmptyHexIsNoDigest)
{
    TScratch scratch;
    const std::string empty = scratch / "empty";
    WriteBytes(empty, {});
    const std::string digest = DigestFile(empty, TCryptHash::SHA256);
    EXPECT_EQ(digest, PythonDigest("sha256", ""));
    EXPECT_EQ(DigestText("", TCryptHash::SHA256), digest);
    EXPECT_EQ(DigestHex("", TCryptHash::SHA256), "");
    EXPECT_EQ(DigestHex("ZZ", TCryptHash::SHA256), "");
    EXPECT_EQ(DigestHex("ABC", TCryptHash::SHA256), "");  // odd length
}

TEST(Digest, MissingFileOrFolderGivesNoDigest)
{
    TScratch scratch;
    EXPECT_EQ(DigestFile(scratch / "absent", TCryptHash::SHA256), "");
    EXPECT_EQ(DigestFile(scratch.Path(), TCryptHash::SHA256), "");
}

TEST(Digest, RowOutsideTheTableGivesNoDigest)
{
    EXPECT_EQ(DigestText("abc", static_cast<TCryptHash>(9)), "");
    EXPECT_EQ(DigestText("abc", static_cast<TCryptHash>(-1)), "");
    EXPECT_FALSE(HashFromNumber(9));
    EXPECT_FALSE(HashFromNumber(-1));
    EXPECT_EQ(HashFromNumber(8), TCryptHash::RIPEMD160);
}

TEST(Digest, Md2FollowsWhatTheInstalledLibraryCanDo)
{
    TScratch scratch;
    const std::string file = scratch / "abc";
    WriteBytes(file, {'a', 'b', 'c'});
    const TCommandResult reference = RunCommand("openssl dgst -md2 -provider legacy -provider default -r " + file);
    const std::string digest = DigestText("abc", TCryptHash::MD2);
    if (reference.ExitCode == 0) {
        EXPECT_EQ(digest, ToUpper(reference.Output.substr(0, reference.Output.find(' '))));
    } else {
        EXPECT_EQ(digest, "");
        EXPECT_EQ(DigestFile(file, TCryptHash::MD2), "");
        EXPECT_NE(UnitOpenSsl::EnsureLoaded().Missing.find("EVP_md2"), std::string::npos);
        // The failed fetch leaves nothing behind for the next caller.
        EXPECT_EQ(DigestText("abc", TCryptHash::MD5), PythonDigest("md5", "abc"));
    }
}

TEST(DigestTable, OidsFindTheirRowByDigestThenSignatureOid)
{
    for (int number = 0; number < HashRowCount; ++number) {
        const TCryptHashRow& row = HashRow(*HashFromNumber(number));
        EXPECT_EQ(static_cast<int>(row.Hash), number);
        EXPECT_EQ(HashFromOid(row.DigestOid), row.Hash) << row.Name;
        EXPECT_EQ(HashFromOid(row.SignatureOid), row.Hash) << row.Name;
    }
    EXPECT_EQ(HashFromOid("2.16.840.1.101.3.4.2.1"), TCryptHash::SHA256);
    EXPECT_EQ(HashFromOid("1.2.840.113549.1.1.13"), TCryptHash::SHA512);
    EXPECT_EQ(HashFromOid("1.3.36.3.3.1.2"), TCryptHash::RIPEMD160);
}

TEST(DigestTable, UnknownOidSelectsRipemd160)
{
    EXPECT_EQ(HashFromOid("1.2.840.113549.1.1.1"), TCryptHash::RIPEMD160);
    EXPECT_EQ(HashFromOid(""), TCryptHash::RIPEMD160);
    EXPECT_EQ(HashFromOid("2.16.840.1.101.3.4.2.10"), TCryptHash::RIPEMD160);
}

TEST(DigestTable, HexLengthSelectsRow)
{
    EXPECT_EQ(HashFromHexLength(32), TCryptHash::MD5);
    EXPECT_EQ(HashFromHexLength(40), TCryptHash::SHA1);
    EXPECT_EQ(HashFromHexLength(56), TCryptHash::SHA224);
    EXPECT_EQ(HashFromHexLength(64), TCryptHash::SHA256);
    EXPECT_EQ(HashFromHexLength(96), TCryptHash::SHA384);
    EXPECT_EQ(HashFromHexLength(128), TCryptHash::SHA512);
    EXPECT_EQ(HashFromHexLength(0), TCryptHash::SHA1);
    EXPECT_EQ(HashFromHexLength(63), TCryptHash::SHA1);
    // Every digest the helper makes maps back to its own row, except the 32- and 40-digit
    // digests that share a length (MD2, MD4 and RIPEMD-160).
    for (TCryptHash hash : {TCryptHash::MD5, TCryptHash::SHA1, TCryptHash::SHA224, TCryptHash::SHA256,
                            TCryptHash::SHA384, TCryptHash::SHA512})
        EXPECT_EQ(HashFromHexLength(DigestText("x", hash).size()), hash);
}

TEST(DigestTable, SignatureOidForDigestOid)
{
    EXPECT_EQ(SignatureOidForDigestOid("1.3.14.3.2.26"), "1.2.840.113549.1.1.5");
    EXPECT_EQ(SignatureOidForDigestOid("2.16.840.1.101.3.4.2.1"), "1.2.840.113549.1.1.11");
    EXPECT_EQ(SignatureOidForDigestOid("2.16.840.1.101.3.4.2.2"), "1.2.840.113549.1.1.12");
    EXPECT_EQ(SignatureOidForDigestOid("2.16.840.1.101.3.4.2.3"), "1.2.840.113549.1.1.13");
    EXPECT_EQ(SignatureOidForDigestOid("2.16.840.1.101.3.4.2.4"), "1.2.840.113549.1.1.14");
    EXPECT_EQ(SignatureOidForDigestOid("1.2.840.113549.2.5"), "1.2.840.113549.1.1.1");
    EXPECT_EQ(SignatureOidForDigestOid("1.2.840.113549.1.1.11"), "1.2.840.113549.1.1.1");
}

TEST(Digest, LongHexIsDigestedAcrossChunksAndABadDigitAnywhereGivesNoDigest)
{
    // A few megabytes of hex: several of the chunks the digest decodes one at a time.
    std::string bytes(3 * (1 << 20) + 7, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    std::string hex = UnitCodecs::HexEncode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_EQ(DigestHex(hex, TCryptHash::SHA256), DigestText(bytes, TCryptHash::SHA256));
    hex[hex.size() - 3] = 'G';          // in the last chunk, after earlier chunks were hashed
    EXPECT_EQ(DigestHex(hex, TCryptHash::SHA256), "");
    hex[hex.size() - 3] = 'a';
    hex[(1 << 21) + 1] = ' ';           // first digit pair of the second chunk
    EXPECT_EQ(DigestHex(hex, TCryptHash::SHA256), "");
}
