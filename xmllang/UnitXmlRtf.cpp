#include "xmllang/UnitXmlRtf.h"

#include "encoding/UnitCodecs.h"

#include <cstdint>
#include <cstring>

namespace UnitXmlRtf {

namespace {

constexpr size_t kMaxGroupDepth = 1000;

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp >= 0xD800 && cp <= 0xDFFF)
        cp = 0xFFFD;
    UnitCodecs::AppendUtf8(out, cp);
}

// Code page 1252 for the bytes 0x80-0x9F; the others are Latin-1.
uint32_t FromCp1252(uint8_t b)
{
    static const uint16_t high[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
                                      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    return b >= 0x80 && b < 0xA0 ? high[b - 0x80] : b;
}

// The next UTF-8 character of s at i (a byte that is not UTF-8 is taken as code page 1252).
uint32_t NextChar(std::string_view s, size_t& i)
{
    const auto b = static_cast<uint8_t>(s[i]);
    size_t n = b >= 0xF0 && b < 0xF8 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 1;
    if (b < 0x80 || n == 1 || i + n > s.size()) {
        ++i;
        return b < 0x80 ? b : FromCp1252(b);
    }
    uint32_t cp = b & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<uint8_t>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return FromCp1252(b);
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    i += n;
    return cp > 0x10FFFF ? 0xFFFD : cp;
}

void AppendRtfChar(std::string& out, uint32_t cp)
{
    auto unit = [&out](uint32_t u) {
        out += "\\u" + std::to_string(static_cast<int16_t>(static_cast<uint16_t>(u))) + "?";
    };
    if (cp >= 0x10000) {
        cp -= 0x10000;
        unit(0xD800 + (cp >> 10));
        unit(0xDC00 + (cp & 0x3FF));
    } else {
        unit(cp);
    }
}

std::string Body(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2u : 1u;
            out += "\\par\n";
            continue;
        }
        if (c == '\\' || c == '{' || c == '}') {
            out += '\\';
            out += c;
            ++i;
            continue;
        }
        if (c == '\t') {
            out += "\\tab ";
            ++i;
            continue;
        }
        const uint32_t cp = NextChar(text, i);
        if (cp < 0x80)
            out += static_cast<char>(cp);
        else
            AppendRtfChar(out, cp);
    }
    return out;
}

constexpr std::string_view kHeader = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fswiss Arial;}}\\f0\\fs20 ";

// ---- reading

struct TState {
    bool Bold = false, Italic = false, Underline = false;
    bool Skip = false;  // inside a destination whose text is not shown
    int UnicodeSkip = 1;
};

// Walks an RTF document and reports text, paragraph breaks and state changes.
class TReader {
public:
    virtual ~TReader() = default;
    virtual void Text(std::string_view utf8, const TState& state) = 0;
    virtual void Paragraph() = 0;
    virtual void LineBreak() = 0;

    void Run(std::string_view rtf)
    {
        std::vector<TState> stack;
        TState st;
        size_t pendingSkip = 0;
        std::string text;
        auto flush = [&]() {
            if (!text.empty()) {
                Text(text, st);
                text.clear();
            }
        };
        bool destinationNext = false;  // the group just opened with "\*"
        uint32_t highSurrogate = 0;    // the first half of a \u pair
        for (size_t i = 0; i < rtf.size();) {
            const char c = rtf[i];
            if (c == '{') {
                flush();
                if (stack.size() < kMaxGroupDepth)
                    stack.push_back(st);
                ++i;
                destinationNext = true;
                continue;
            }
            if (c == '}') {
                flush();
                if (!stack.empty()) {
                    st = stack.back();
                    stack.pop_back();
                }
                ++i;
                destinationNext = false;
                continue;
            }
            if (c == '\r' || c == '\n') {
                ++i;
                continue;
            }
            if (c != '\\') {
                const bool first = destinationNext;
                destinationNext = false;
                (void)first;
                if (pendingSkip) {
                    --pendingSkip;
                    ++i;
                    continue;
                }
                if (!st.Skip)
                    text += c;
                ++i;
                continue;
            }
            // A control word or symbol.
            ++i;
            if (i >= rtf.size())
                break;
            const char s = rtf[i];
            const bool atGroupStart = destinationNext;
            destinationNext = false;
            if (!((s >= 'a' && s <= 'z') || (s >= 'A' && s <= 'Z'))) {
                ++i;
                if (s == '\'') {
                    if (i + 2 <= rtf.size()) {
                        const int v = Hex(rtf[i]) * 16 + Hex(rtf[i + 1]);
                        i += 2;
                        if (pendingSkip) {
                            --pendingSkip;
                        } else if (!st.Skip && v >= 0) {
                            AppendUtf8(text, FromCp1252(static_cast<uint8_t>(v)));
                        }
                    }
                } else if (s == '*') {
                    if (atGroupStart)
                        st.Skip = true;
                } else if (s == '\\' || s == '{' || s == '}') {
                    if (!st.Skip)
                        text += s;
                } else if (s == '~') {
                    if (!st.Skip)
                        AppendUtf8(text, 0xA0);
                } else if (s == '_') {
                    if (!st.Skip)
                        text += '-';
                } else if (s == '\r' || s == '\n') {
                    if (!st.Skip) {
                        flush();
                        Paragraph();
                    }
                }
                continue;
            }
            std::string word;
            while (i < rtf.size() && ((rtf[i] >= 'a' && rtf[i] <= 'z') || (rtf[i] >= 'A' && rtf[i] <= 'Z')) && word.size() < 32)
                word += rtf[i++];
            bool hasParam = false;
            bool negative = false;
            long param = 0;
            if (i < rtf.size() && rtf[i] == '-') {
                negative = true;
                ++i;
            }
            while (i < rtf.size() && rtf[i] >= '0' && rtf[i] <= '9') {
                hasParam = true;
                if (param < 100000000)
                    param = param * 10 + (rtf[i] - '0');
                ++i;
            }
            if (negative)
                param = -param;
            if (i < rtf.size() && rtf[i] == ' ')
                ++i;
            if (pendingSkip && word != "u") {
                pendingSkip = 0;
            }
            if (word == "par" || word == "sect" || word == "page") {
                if (!st.Skip) {
                    flush();
                    Paragraph();
                }
            } else if (word == "line") {
                if (!st.Skip) {
                    flush();
                    LineBreak();
                }
            } else if (word == "tab") {
                if (!st.Skip)
                    text += '\t';
            } else if (word == "u") {
                if (!st.Skip && hasParam) {
                    const auto v = static_cast<uint32_t>((param < 0 ? param + 65536 : param) & 0xFFFF);
                    if (v >= 0xD800 && v < 0xDC00) {
                        highSurrogate = v;
                    } else if (v >= 0xDC00 && v < 0xE000 && highSurrogate) {
                        AppendUtf8(text, 0x10000 + ((highSurrogate - 0xD800) << 10) + (v - 0xDC00));
                        highSurrogate = 0;
                    } else {
                        AppendUtf8(text, v);
                    }
                }
                pendingSkip = static_cast<size_t>(st.UnicodeSkip < 0 ? 0 : st.UnicodeSkip);
            } else if (word == "uc") {
                st.UnicodeSkip = hasParam ? static_cast<int>(param < 0 ? 0 : param > 10 ? 10 : param) : 1;
            } else if (word == "b" || word == "i" || word == "ul" || word == "ulnone" || word == "plain") {
                flush();
                const bool on = !hasParam || param != 0;
                if (word == "b")
                    st.Bold = on;
                else if (word == "i")
                    st.Italic = on;
                else if (word == "ul")
                    st.Underline = on;
                else if (word == "ulnone")
                    st.Underline = false;
                else
                    st.Bold = st.Italic = st.Underline = false;
            } else if (atGroupStart && IsDestination(word)) {
                flush();
                st.Skip = true;
            } else if (word == "emdash" || word == "endash" || word == "bullet" || word == "lquote" || word == "rquote"
                       || word == "ldblquote" || word == "rdblquote") {
                if (!st.Skip) {
                    static const std::pair<const char*, uint32_t> marks[] = {{"emdash", 0x2014}, {"endash", 0x2013},
                                                                             {"bullet", 0x2022}, {"lquote", 0x2018},
                                                                             {"rquote", 0x2019}, {"ldblquote", 0x201C},
                                                                             {"rdblquote", 0x201D}};
                    for (const auto& m : marks)
                        if (word == m.first)
                            AppendUtf8(text, m.second);
                }
            }
        }
        flush();
    }

private:
    static int Hex(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1000;
    }
    static bool IsDestination(const std::string& w)
    {
        static const char* const names[] = {"fonttbl", "colortbl", "stylesheet", "info", "pict", "header", "footer",
                                            "headerl", "headerr", "footerl", "footerr", "footnote", "object", "xmlnstbl",
                                            "listtable", "listoverridetable", "rsidtbl", "generator", "themedata",
                                            "datastore", "latentstyles", "fldinst", "filetbl", "revtbl", "pgdsctbl"};
        for (const char* n : names)
            if (w == n)
                return true;
        return false;
    }
};

class TTextReader : public TReader {
public:
    std::string Out;
    void Text(std::string_view utf8, const TState&) override { Out.append(utf8); }
    void Paragraph() override { Out += "\r\n"; }
    void LineBreak() override { Out += "\r\n"; }
};

class THtmlReader : public TReader {
public:
    std::string Out;
    void Text(std::string_view utf8, const TState& st) override
    {
        Open();
        if (st.Bold != FOpen.Bold || st.Italic != FOpen.Italic || st.Underline != FOpen.Underline) {
            CloseStyles();
            if (st.Bold)
                Out += "<b>";
            if (st.Italic)
                Out += "<i>";
            if (st.Underline)
                Out += "<u>";
            FOpen = st;
        }
        for (char c : utf8) {
            switch (c) {
            case '&': Out += "&amp;"; break;
            case '<': Out += "&lt;"; break;
            case '>': Out += "&gt;"; break;
            case '"': Out += "&quot;"; break;
            default: Out += c; break;
            }
        }
    }
    void Paragraph() override
    {
        Open();
        CloseStyles();
        Out += "</p>\r\n";
        FInParagraph = false;
    }
    void LineBreak() override
    {
        Open();
        Out += "<br/>";
    }
    void Finish()
    {
        if (FInParagraph) {
            CloseStyles();
            Out += "</p>\r\n";
            FInParagraph = false;
        }
    }

private:
    void Open()
    {
        if (!FInParagraph) {
            Out += "<p>";
            FInParagraph = true;
        }
    }
    void CloseStyles()
    {
        if (FOpen.Underline)
            Out += "</u>";
        if (FOpen.Italic)
            Out += "</i>";
        if (FOpen.Bold)
            Out += "</b>";
        FOpen = TState();
    }
    bool FInParagraph = false;
    TState FOpen;
};

bool IsRtf(std::string_view s)
{
    size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ')
        ++i;
    return s.substr(i, 6) == "{\\rtf1" || s.substr(i, 5) == "{\\rtf";
}

// The body of a document: what follows its header groups, up to its closing brace.
std::string_view BodyOf(std::string_view rtf)
{
    size_t i = rtf.find('{');
    if (i == std::string_view::npos)
        return {};
    ++i;
    // The closing brace of the outer group.
    size_t end = rtf.size();
    {
        int depth = 1;
        for (size_t k = i; k < rtf.size(); ++k) {
            if (rtf[k] == '\\') {
                ++k;
                continue;
            }
            if (rtf[k] == '{')
                ++depth;
            else if (rtf[k] == '}' && --depth == 0) {
                end = k;
                break;
            }
        }
    }
    // Skip "\rtf1", control words of the header and the header groups.
    size_t k = i;
    for (;;) {
        while (k < end && (rtf[k] == ' ' || rtf[k] == '\r' || rtf[k] == '\n'))
            ++k;
        if (k < end && rtf[k] == '\\' && k + 1 < end && ((rtf[k + 1] >= 'a' && rtf[k + 1] <= 'z'))) {
            size_t w = k + 1;
            std::string word;
            while (w < end && rtf[w] >= 'a' && rtf[w] <= 'z')
                word += rtf[w++];
            static const char* const header[] = {"rtf", "ansi", "ansicpg", "deff", "deflang", "mac", "pc", "pca",
                                                 "uc", "deflangfe", "adeflang", "viewkind"};
            bool isHeader = false;
            for (const char* h : header)
                isHeader = isHeader || word == h;
            if (!isHeader)
                break;
            if (w < end && rtf[w] == '-')
                ++w;
            while (w < end && rtf[w] >= '0' && rtf[w] <= '9')
                ++w;
            if (w < end && rtf[w] == ' ')
                ++w;
            k = w;
            continue;
        }
        if (k < end && rtf[k] == '{') {
            const std::string_view inner = rtf.substr(k + 1, 20);
            const bool headerGroup = inner.substr(0, 8) == "\\fonttbl" || inner.substr(0, 9) == "\\colortbl"
                || inner.substr(0, 11) == "\\stylesheet" || inner.substr(0, 5) == "\\info" || inner.substr(0, 2) == "\\*";
            if (!headerGroup)
                break;
            int depth = 0;
            size_t g = k;
            for (; g < end; ++g) {
                if (rtf[g] == '\\') {
                    ++g;
                    continue;
                }
                if (rtf[g] == '{')
                    ++depth;
                else if (rtf[g] == '}' && --depth == 0)
                    break;
            }
            k = g + 1;
            continue;
        }
        break;
    }
    return k < end ? rtf.substr(k, end - k) : std::string_view();
}

}  // namespace

std::string RtfFromText(std::string_view AText) { return std::string(kHeader) + Body(AText) + "}"; }

std::string TextFromRtf(std::string_view ARtf)
{
    if (!IsRtf(ARtf))
        return std::string(ARtf);
    TTextReader r;
    r.Run(ARtf);
    // The paragraph mark that ends the last paragraph ends no line.
    while (r.Out.size() >= 2 && r.Out.compare(r.Out.size() - 2, 2, "\r\n") == 0)
        r.Out.resize(r.Out.size() - 2);
    return r.Out;
}

std::string HtmlFromRtf(std::string_view ARtf)
{
    THtmlReader r;
    if (IsRtf(ARtf)) {
        r.Run(ARtf);
    } else {
        r.Run(RtfFromText(ARtf));
    }
    r.Finish();
    return r.Out;
}

std::string ConcatRtf(const std::vector<std::string>& ADocuments)
{
    std::string out;
    bool first = true;
    for (const std::string& doc : ADocuments) {
        if (doc.empty())
            continue;
        const std::string rtf = IsRtf(doc) ? doc : RtfFromText(doc);
        if (first) {
            // The first document whole, without its closing brace.
            const std::string_view body = BodyOf(rtf);
            if (body.empty())
                out = rtf.substr(0, rtf.rfind('}'));
            else
                out = rtf.substr(0, static_cast<size_t>(body.data() - rtf.data()) + body.size());
            first = false;
            continue;
        }
        out += "\\par\n";
        out += "{" + std::string(BodyOf(rtf)) + "}";
    }
    if (first)
        return {};
    return out + "}";
}

}  // namespace UnitXmlRtf
