// Throughput of the hot codecs beside memcpy and memchr of the same buffers. Figures are bytes
// of the binary side per second (for number 3, bytes of the text), so the rows compare.
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kSize = 4 << 20;

const UnitEncoding::TBytes& Payload()
{
    static const UnitEncoding::TBytes bytes = [] {
        UnitEncoding::TBytes b(kSize);
        std::mt19937 rng(42);
        for (auto& x : b)
            x = uint8_t(rng());
        return b;
    }();
    return bytes;
}

// Text that number 3 leaves as it is: letters, digits and the pass-through punctuation.
const std::string& PlainText()
{
    static const std::string text = [] {
        static constexpr char kPass[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#$()*,-.;=@_";
        std::string t(kSize, ' ');
        std::mt19937 rng(7);
        for (auto& c : t)
            c = kPass[rng() % (sizeof(kPass) - 1)];
        return t;
    }();
    return text;
}

void Memcpy(benchmark::State& state)
{
    const auto& in = Payload();
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}
BENCHMARK(Memcpy);

void Memchr(benchmark::State& state)
{
    const auto& text = PlainText();
    for (auto _ : state)
        benchmark::DoNotOptimize(std::memchr(text.data(), '&', text.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(Memchr);

void Encode(benchmark::State& state)
{
    const int number = int(state.range(0));
    const auto& in = Payload();
    for (auto _ : state)
        benchmark::DoNotOptimize(UnitEncoding::EncodeBytes(in, number));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.SetLabel("number " + std::to_string(number));
}
BENCHMARK(Encode)->Arg(12)->Arg(15)->Arg(7)->Arg(8);

void Decode(benchmark::State& state)
{
    const int number = int(state.range(0));
    const auto& in = Payload();
    const std::string text = UnitEncoding::EncodeBytes(in, number);
    for (auto _ : state)
        benchmark::DoNotOptimize(UnitEncoding::DecodeText(text, number));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
    state.SetLabel("number " + std::to_string(number));
}
BENCHMARK(Decode)->Arg(12)->Arg(15)->Arg(7)->Arg(8);

void XmlEncodePlain(benchmark::State& state)
{
    const auto& text = PlainText();
    for (auto _ : state)
        benchmark::DoNotOptimize(UnitEncoding::EncodeText(text, 3));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(XmlEncodePlain);

// A hostile value for number 3: "&a" over and over with no ";" anywhere. Every "&" is copied as
// it stands; the run must cost a plain copy's order (the Memcpy row), not a search to the end
// of the text per "&". The argument is the text size, to show the cost stays linear.
void XmlDecodeAmpersands(benchmark::State& state)
{
    std::string text;
    for (size_t i = 0; i < size_t(state.range(0)) / 2; ++i)
        text += "&a";
    for (auto _ : state)
        benchmark::DoNotOptimize(UnitCodecs::XmlDecode(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(XmlDecodeAmpersands)->Arg(160 << 10)->Arg(1 << 20)->Arg(16 << 20);

// A plain string copy of the same size: the floor of XmlDecodeAmpersands.
void CopyString(benchmark::State& state)
{
    const std::string text(size_t(state.range(0)), 'a');
    for (auto _ : state) {
        std::string copy = text;
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(CopyString)->Arg(16 << 20);

void XmlEncodeMixed(benchmark::State& state)
{
    std::string text = PlainText();
    for (size_t i = 0; i < text.size(); i += 40)
        text[i] = ' ';
    for (auto _ : state)
        benchmark::DoNotOptimize(UnitEncoding::EncodeText(text, 3));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(XmlEncodeMixed);

}  // namespace
