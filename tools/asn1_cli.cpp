// dorvik-asn1 FILE [XMLOUT]: reads a DER file, turns it into its ASN.1 XML description
// (encoding 14), encodes that text back to DER and checks the bytes are the file's own.
// Prints the sizes and the time of each step, in milliseconds, on one line:
//   bytes=N xml=N read_ms=T decode_ms=T encode_ms=T same=1
// Exit codes: 0 same bytes back, 1 different or no result, 2 usage or unreadable file.
#include "crypto/UnitAsn1.h"
#include "crypto/UnitLibraryEncodings.h"
#include "encoding/UnitEncoding.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// Milliseconds with one decimal, independent of the locale.
std::string Millis(TClock::time_point from, TClock::time_point to)
{
    char buf[32];
    const double ms = std::chrono::duration<double, std::milli>(to - from).count();
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, ms, std::chars_format::fixed, 1);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: dorvik-asn1 FILE.der [OUT.xml]\n");
        return 2;
    }
    const auto t0 = TClock::now();
    std::vector<uint8_t> der;
    {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 2;
        }
        in.seekg(0, std::ios::end);
        der.resize(static_cast<size_t>(in.tellg()));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(der.data()), static_cast<std::streamsize>(der.size()));
    }
    const auto t1 = TClock::now();
    const std::string xml = UnitEncoding::EncodeBytes(der, UnitEncoding::TEncodingNumber::Asn1Xml, UnitLibraryEncodings::Table());
    const auto t2 = TClock::now();
    const auto back = UnitEncoding::DecodeText(xml, UnitEncoding::TEncodingNumber::Asn1Xml, UnitLibraryEncodings::Table());
    const auto t3 = TClock::now();
    const bool same = back && *back == der;
    if (argc == 3) {
        std::ofstream out(argv[2], std::ios::binary);
        out.write(xml.data(), static_cast<std::streamsize>(xml.size()));
    }
    std::printf("bytes=%zu xml=%zu read_ms=%s decode_ms=%s encode_ms=%s same=%d\n", der.size(), xml.size(),
                Millis(t0, t1).c_str(), Millis(t1, t2).c_str(), Millis(t2, t3).c_str(), same ? 1 : 0);
    return same ? 0 : 1;
}
