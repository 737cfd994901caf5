// Runs one conversion of the encoding layer over standard input, for checks against outside
// tools:  encoding_cli [--host] encode N | decode N | transcode FROM TO | byname NAME enc|dec
// Exit codes: 0 done, 3 no result (decode), 4 an error raised by a codec (message on stderr),
// 2 usage.
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

bool ReadNumber(const char* text, int& number)
{
    const std::string_view s(text);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), number);
    return ec == std::errc() && end == s.data() + s.size();
}

void Write(std::string_view data)
{
    if (!data.empty())
        std::fwrite(data.data(), 1, data.size(), stdout);
}

int Usage()
{
    std::fputs("usage: encoding_cli [--host] encode N | decode N | transcode FROM TO | byname NAME enc|dec\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int arg = 1;
    const UnitEncoding::TEncodingTable* table = &UnitEncoding::TEncodingTable::Codecs();
    if (arg < argc && std::string_view(argv[arg]) == "--host") {
        table = &UnitEncoding::TEncodingTable::Host();
        ++arg;
    }
    if (argc - arg < 2)
        return Usage();
    std::ios::sync_with_stdio(false);
    const std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    const std::string_view command(argv[arg]);
    try {
        int a = 0, b = 0;
        if (command == "encode" && ReadNumber(argv[arg + 1], a)) {
            Write(UnitEncoding::EncodeBytes(UnitCodecs::AsBytes(input), a, *table));
        } else if (command == "decode" && ReadNumber(argv[arg + 1], a)) {
            const auto bytes = UnitEncoding::DecodeText(input, a, *table);
            if (!bytes)
                return 3;
            Write({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
        } else if (command == "transcode" && argc - arg >= 3 && ReadNumber(argv[arg + 1], a)
                   && ReadNumber(argv[arg + 2], b)) {
            Write(UnitEncoding::Transcode(input, a, b, *table));
        } else if (command == "byname" && argc - arg >= 3) {
            Write(UnitEncoding::ConvertByName(input, argv[arg + 1], std::string_view(argv[arg + 2]) == "enc", *table));
        } else {
            return Usage();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 4;
    }
    return 0;
}
