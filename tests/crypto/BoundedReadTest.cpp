// Files named by requests (certificate files, PKCS#12 files, files to digest) are read only
// when they are regular files of a size suited to their kind: a FIFO, /dev/zero or a folder
// fails at once instead of hanging the program or filling its memory.
#include "crypto/UnitAsn1.h"
#include "crypto/UnitCryptHash.h"
#include "crypto/UnitPkcs12.h"

#include "CryptoTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace CryptoTest;

namespace {

// Runs the call on its own thread; a call that has not returned within the time is a failure
// (and ends the program, since the thread cannot be stopped).
template <typename F>
auto Within(F call)
{
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the read did not end";
        std::fflush(nullptr);
        ::_exit(1);
    }
    return result.get();
}

// A FIFO with a writer that holds it open and never writes: a reader that opens it and reads
// waits for ever.
class TIdleFifo {
public:
    explicit TIdleFifo(const std::filesystem::path& path) : FPath(path)
    {
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        FWriter = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
        EXPECT_GE(FWriter, 0);
    }
    ~TIdleFifo() { ::close(FWriter); }
    std::string Name() const { return FPath.string(); }

private:
    std::filesystem::path FPath;
    int FWriter = -1;
};

}  // namespace

TEST(BoundedReads, CertificateFilesAreRegularAndSmall)
{
    TScratch scratch;
    const TIdleFifo fifo(scratch / "cert.pipe");
    EXPECT_FALSE(Within([&] { return UnitAsn1::CertificateFromFile(fifo.Name()); }));
    EXPECT_FALSE(Within([] { return UnitAsn1::CertificateFromFile("/dev/zero"); }));
    EXPECT_FALSE(UnitAsn1::CertificateFromFile(scratch.Path().string()));
    // Past the cap: refused, though it starts like DER.
    const std::filesystem::path big = scratch / "big.der";
    {
        std::ofstream out(big, std::ios::binary);
        out << '\x30';
        out.seekp(static_cast<std::streamoff>(UnitAsn1::MaxCertificateFile));
        out << '\0';
    }
    EXPECT_FALSE(UnitAsn1::CertificateFromFile(big.string()));
    std::filesystem::resize_file(big, UnitAsn1::MaxCertificateFile);
    EXPECT_TRUE(UnitAsn1::CertificateFromFile(big.string()));
}

TEST(BoundedReads, Pkcs12FilesAreRegular)
{
    TScratch scratch;
    const TIdleFifo fifo(scratch / "key.pipe");
    EXPECT_FALSE(Within([&] { return UnitPkcs12::ParsePkcs12File(fifo.Name(), "x"); }));
    EXPECT_FALSE(Within([] { return UnitPkcs12::ParsePkcs12File("/dev/zero", "x"); }));
    EXPECT_FALSE(UnitPkcs12::ParsePkcs12File(scratch.Path(), "x"));
}

TEST(BoundedReads, DigestOfADeviceOrFifoFailsInsteadOfRunningForEver)
{
    TScratch scratch;
    const TIdleFifo fifo(scratch / "digest.pipe");
    using UnitCryptHash::TCryptHash;
    EXPECT_EQ(Within([&] { return UnitCryptHash::DigestFile(fifo.Name(), TCryptHash::SHA256); }), "");
    EXPECT_EQ(Within([] { return UnitCryptHash::DigestFile("/dev/zero", TCryptHash::SHA256); }), "");
}
