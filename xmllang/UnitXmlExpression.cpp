#include "xmllang/UnitXmlExpression.h"

#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"
#include "xmllang/UnitXmlRtf.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <unordered_map>

using UnitXmlDoc::SameText;

namespace {

// ------------------------------------------------------------------ small text helpers

thread_local int gNesting = 0;

// Counts one level of nesting for as long as it lives; Deep() tells when the limit is passed.
class TNestingGuard {
public:
    TNestingGuard() { ++gNesting; }
    ~TNestingGuard() { --gNesting; }
    TNestingGuard(const TNestingGuard&) = delete;
    TNestingGuard& operator=(const TNestingGuard&) = delete;
    static bool Deep() { return gNesting > TXmlExpression::MaxNesting; }
};

std::string_view TrimView(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}
std::string Trim(std::string_view s) { return std::string(TrimView(s)); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
std::string LowerText(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        c = Lower(c);
    return r;
}
std::string UpperText(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        c = Upper(c);
    return r;
}

size_t FindNoCase(std::string_view text, std::string_view find, size_t from)
{
    if (find.empty() || find.size() > text.size())
        return std::string_view::npos;
    for (size_t i = from; i + find.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < find.size() && Lower(text[i + k]) == Lower(find[k]))
            ++k;
        if (k == find.size())
            return i;
    }
    return std::string_view::npos;
}

std::string ReplaceNoCase(std::string_view text, std::string_view find, std::string_view replace)
{
    if (find.empty())
        return std::string(text);
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t hit = FindNoCase(text, find, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(text.substr(pos, hit - pos));
        out.append(replace);
        pos = hit + find.size();
    }
    out.append(text.substr(pos));
    return out;
}

bool IsFloat(std::string_view s) { return UnitXmlDoc::TextIsFloat(s); }
double FloatOf(std::string_view s) { return UnitXmlDoc::TextToFloat(s); }
std::string FloatText(double v) { return UnitXmlDoc::FloatToText(v); }
bool BoolOf(std::string_view s) { return UnitXmlDoc::TextToBool(s); }
std::string BoolText(bool b) { return b ? "1" : "0"; }
std::string IntText(int64_t v) { return std::to_string(v); }

// The 32-bit integer reading of a text (the tree's AsInt rule).
int32_t IntOf(std::string_view s)
{
    if (IsFloat(s)) {
        const double v = std::nearbyint(FloatOf(s));
        if (!(v >= static_cast<double>(std::numeric_limits<int32_t>::min())))
            return std::numeric_limits<int32_t>::min();
        if (v > static_cast<double>(std::numeric_limits<int32_t>::max()))
            return std::numeric_limits<int32_t>::max();
        return static_cast<int32_t>(v);
    }
    int32_t v = 0;
    return UnitXmlDoc::TextToInt32(s, v) ? v : 0;
}

// List pieces between separators (an empty separator gives the whole text).
std::vector<std::string_view> Pieces(std::string_view text, std::string_view sep)
{
    std::vector<std::string_view> out;
    if (sep.empty()) {
        out.push_back(text);
        return out;
    }
    size_t pos = 0;
    for (;;) {
        const size_t hit = text.find(sep, pos);
        if (hit == std::string_view::npos) {
            out.push_back(text.substr(pos));
            return out;
        }
        out.push_back(text.substr(pos, hit - pos));
        pos = hit + sep.size();
    }
}

// The tree's Push rule: the separator goes between unless the list is empty or ends with it.
std::string PushText(std::string list, std::string_view item, std::string_view sep)
{
    if (item.empty())
        return list;
    if (!list.empty() && !(list.size() >= sep.size() && list.compare(list.size() - sep.size(), sep.size(), sep) == 0))
        list.append(sep);
    list.append(item);
    return list;
}

std::string Base36(uint64_t v)
{
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out;
    do {
        out.insert(out.begin(), digits[v % 36]);
        v /= 36;
    } while (v);
    return out;
}

std::mt19937_64& Random()
{
    static std::mt19937_64 engine{std::random_device{}()};
    return engine;
}

std::string NewGuidHex()
{
    return UnitCodecs::HexEncode(UnitPlatformFiles::NewGuid());
}

// ------------------------------------------------------------------ tokens

constexpr const char* kReserved[] = {"not", "div", "mod", "and", "or", "xor", "shl", "shr", "in"};

bool IsOperatorChar(char c)
{
    switch (c) {
    case '(': case ')': case '*': case '+': case ',': case '-': case '/': case '<': case '=': case '>': case '[':
        return true;
    default:
        return false;
    }
}
// The characters that make up an operator run ("(", ")" and "," are tokens of their own).
bool IsOperatorRunChar(char c) { return IsOperatorChar(c) && c != '(' && c != ')' && c != ','; }

enum class TKind { Sentence, Literal, Variable, Operator, Reserved, Function, Other };

TKind KindOf(const TXmlDoc& n)
{
    const std::string& name = n.GetName();
    if (name.empty())
        return TKind::Other;
    switch (name[0]) {
    case 'S': return name == "Sentence" ? TKind::Sentence : TKind::Other;
    case 'L': return name == "Literal" ? TKind::Literal : TKind::Other;
    case 'V': return name == "Variable" ? TKind::Variable : TKind::Other;
    case 'O': return name == "Operator" ? TKind::Operator : TKind::Other;
    case 'R': return name == "Reserved" ? TKind::Reserved : TKind::Other;
    case 'F': return name == "Function" ? TKind::Function : TKind::Other;
    default: return TKind::Other;
    }
}

using UnitXmlDoc::Prop;

enum class TFn {
    Include, Push, Pop, Subst, Sub, Trim, Lcase, Ucase, Concat, Length, If, Choose, Split, Any, Random, RandomID,
    SyncID, Date, Now, ZuluNow, LayerToUserDate, ZuluToUserDate, UserToLayerDate, UserToZuluDate, FormatNumber,
    FormatMoney, LoadJpeg, Encode, Decode, Recode, RTFFromText, TextFromRTF, HTMLFromRTF, ConcatRTF, Name, Count, XML,
    Prop, Unknown
};

TFn FunctionOf(const std::string& name)
{
    static const std::unordered_map<std::string, TFn> table = {
        {"include", TFn::Include}, {"push", TFn::Push}, {"pop", TFn::Pop}, {"subst", TFn::Subst}, {"sub", TFn::Sub},
        {"trim", TFn::Trim}, {"lcase", TFn::Lcase}, {"ucase", TFn::Ucase}, {"concat", TFn::Concat},
        {"length", TFn::Length}, {"if", TFn::If}, {"choose", TFn::Choose}, {"split", TFn::Split}, {"any", TFn::Any},
        {"random", TFn::Random}, {"randomid", TFn::RandomID}, {"syncid", TFn::SyncID}, {"date", TFn::Date},
        {"now", TFn::Now}, {"zulunow", TFn::ZuluNow}, {"layertouserdate", TFn::LayerToUserDate},
        {"zulutouserdate", TFn::ZuluToUserDate}, {"usertolayerdate", TFn::UserToLayerDate},
        {"usertozuludate", TFn::UserToZuluDate}, {"formatnumber", TFn::FormatNumber},
        {"formatmoney", TFn::FormatMoney}, {"loadjpeg", TFn::LoadJpeg}, {"encode", TFn::Encode},
        {"decode", TFn::Decode}, {"recode", TFn::Recode}, {"rtffromtext", TFn::RTFFromText},
        {"textfromrtf", TFn::TextFromRTF}, {"htmlfromrtf", TFn::HTMLFromRTF}, {"concatrtf", TFn::ConcatRTF},
        {"name", TFn::Name}, {"count", TFn::Count}, {"xml", TFn::XML}, {"prop", TFn::Prop},
    };
    const auto it = table.find(LowerText(name));
    return it == table.end() ? TFn::Unknown : it->second;
}

}  // namespace

// ====================================================================== parsing

class TXmlExpressionEvaluator {
public:
    explicit TXmlExpressionEvaluator(TXmlExpression& AX) : X(AX) {}

    // Parses items into ASentence until the text ends or a ")" or "," ends the sentence; returns
    // that character (not consumed), or 0 at the end of the text.
    char ParseSentence(std::string_view t, size_t& pos, TXmlDoc& ASentence)
    {
        TNestingGuard guard;
        if (TNestingGuard::Deep()) {
            pos = t.size();
            return 0;
        }
        while (pos < t.size()) {
            while (pos < t.size() && t[pos] == ' ')
                ++pos;
            if (pos >= t.size())
                break;
            const char c = t[pos];
            if (c == '"' || c == '\'') {
                std::string value;
                ++pos;
                while (pos < t.size()) {
                    if (t[pos] == c) {
                        if (pos + 1 < t.size() && t[pos + 1] == c) {
                            value += c;
                            pos += 2;
                            continue;
                        }
                        ++pos;
                        break;
                    }
                    value += t[pos++];
                }
                ASentence.New("Literal")->Setp("Value", std::move(value));
            } else if (c == '(') {
                ++pos;
                TXmlDoc* last = ASentence.GetNodeCount() ? ASentence.ChildAt(static_cast<size_t>(ASentence.GetNodeCount() - 1)) : nullptr;
                if (last && KindOf(*last) == TKind::Variable)
                    ParseCall(t, pos, *last);
                else if (last && KindOf(*last) == TKind::Reserved && Prop(*last, "Name") == "in")
                    ParseList(t, pos, *last);
                else
                    ParseGroup(t, pos, *ASentence.New("Sentence"));
            } else if (c == ')' || c == ',') {
                return c;
            } else if (IsOperatorRunChar(c)) {
                const size_t start = pos;
                while (pos < t.size() && IsOperatorRunChar(t[pos]))
                    ++pos;
                ASentence.New("Operator")->Setp("Name", std::string(t.substr(start, pos - start)));
            } else {
                AddName(ASentence, ReadName(t, pos));
            }
        }
        return 0;
    }

    void ParseCall(std::string_view t, size_t& pos, TXmlDoc& AItem)
    {
        const std::string name = Prop(AItem, "Name");
        if (TXmlDoc* entry = X.FVariables->FindNode(name))
            X.FVariables->DeleteNode(entry);
        if (!X.FFunctions->FindNode(name))
            X.FFunctions->New(name);
        AItem.SetName("Function");
        AItem.DeleteProperty("Type");
        for (;;) {
            TXmlDoc* arg = AItem.New("Sentence");
            const char stop = ParseSentence(t, pos, *arg);
            if (stop == ',') {
                ++pos;
                continue;
            }
            if (stop == ')')
                ++pos;
            break;
        }
        // "f()" has no argument rather than one empty one.
        if (AItem.GetNodeCount() == 1 && !AItem.ChildAt(0)->HasChildren())
            AItem.DeleteNode(AItem.ChildAt(0));
    }

    // The list of an "in": items up to ")" (a "," between items is taken as a separator).
    void ParseList(std::string_view t, size_t& pos, TXmlDoc& AIn)
    {
        for (;;) {
            const char stop = ParseSentence(t, pos, AIn);
            if (stop == ',') {
                ++pos;
                continue;
            }
            if (stop == ')')
                ++pos;
            break;
        }
    }

    void ParseGroup(std::string_view t, size_t& pos, TXmlDoc& ASentence)
    {
        for (;;) {
            const char stop = ParseSentence(t, pos, ASentence);
            if (stop == ',') {
                ++pos;
                continue;
            }
            if (stop == ')')
                ++pos;
            break;
        }
    }

    static std::string ReadName(std::string_view t, size_t& pos)
    {
        const size_t start = pos;
        while (pos < t.size()) {
            const char c = t[pos];
            if (c == '[') {
                // A bracket group (nested ones and quoted texts inside included) belongs to the name.
                int depth = 0;
                char quote = 0;
                while (pos < t.size()) {
                    const char d = t[pos++];
                    if (quote) {
                        if (d == quote)
                            quote = 0;
                    } else if (d == '\'' || d == '"') {
                        quote = d;
                    } else if (d == '[') {
                        ++depth;
                    } else if (d == ']' && --depth == 0) {
                        break;
                    }
                }
                continue;
            }
            if (c == ' ' || IsOperatorChar(c))
                break;
            ++pos;
        }
        return std::string(t.substr(start, pos - start));
    }

    void AddName(TXmlDoc& ASentence, const std::string& AName)
    {
        const std::string lower = LowerText(AName);
        for (const char* r : kReserved)
            if (lower == r) {
                ASentence.New("Reserved")->Setp("Name", lower);
                return;
            }
        if (!AName.empty() && AName[0] != '$' && IsFloat(AName)) {
            ASentence.New("Literal")->Setp("Value", AName);
            return;
        }
        ASentence.New("Variable")->Setp("Name", AName);
        if (!X.FVariables->FindNode(AName))
            X.FVariables->New(AName);
    }

    // ================================================================== evaluation

    std::string EvalSentence(TXmlDoc& S)
    {
        TNestingGuard guard;
        std::string running;
        if (!TNestingGuard::Deep()) {
            const size_t n = static_cast<size_t>(S.GetNodeCount());
            size_t i = 0;
            while (i < n) {
                TXmlDoc& item = *S.ChildAt(i);
                const TKind kind = KindOf(item);
                if (kind == TKind::Operator) {
                    ++i;
                    std::string right = i < n ? TakeOperand(S, i) : std::string();
                    running = Apply(Prop(item, "Name"), running, right);
                } else if (kind == TKind::Reserved) {
                    const std::string& op = Prop(item, "Name");
                    if (op == "in") {
                        running = BoolText(InList(item, running));
                        ++i;
                    } else if (op == "not") {
                        running = TakeOperand(S, i);
                    } else {
                        ++i;
                        std::string right = i < n ? TakeOperand(S, i) : std::string();
                        running = Apply(op, running, right);
                    }
                } else {
                    running = TakeOperand(S, i);
                }
            }
        }
        S.Setp("Value", running);
        return running;
    }

    // Evaluates the item at i (and what a sign or "not" takes with it) and moves i past it.
    std::string TakeOperand(TXmlDoc& S, size_t& i)
    {
        TNestingGuard guard;
        const size_t n = static_cast<size_t>(S.GetNodeCount());
        TXmlDoc& item = *S.ChildAt(i++);
        if (TNestingGuard::Deep())
            return {};
        switch (KindOf(item)) {
        case TKind::Literal:
            return Prop(item, "Value");
        case TKind::Variable:
            return VariableValue(item);
        case TKind::Function:
            return CallFunction(item);
        case TKind::Sentence:
            return EvalSentence(item);
        case TKind::Operator: {
            const std::string& op = Prop(item, "Name");
            if (op != "+" && op != "-")
                return {};
            const std::string v = i < n ? TakeOperand(S, i) : std::string();
            return Signed(op[0], v);
        }
        case TKind::Reserved: {
            if (Prop(item, "Name") != "not")
                return {};
            const std::string v = i < n ? TakeOperand(S, i) : std::string();
            const std::string r = BoolText(!BoolOf(v));
            item.Setp("Value", r);
            return r;
        }
        case TKind::Other:
            break;
        }
        return {};
    }

    static std::string Signed(char sign, const std::string& v)
    {
        const double d = IsFloat(v) ? FloatOf(v) : 0;
        return FloatText(sign == '-' ? -d : d);
    }

    bool InList(TXmlDoc& AIn, const std::string& left)
    {
        for (int k = 0; k < AIn.GetNodeCount(); ++k) {
            TXmlDoc& member = *AIn.ChildAt(static_cast<size_t>(k));
            std::string value;
            switch (KindOf(member)) {
            case TKind::Literal: value = Prop(member, "Value"); break;
            case TKind::Variable: value = VariableValue(member); break;
            case TKind::Function: value = CallFunction(member); break;
            case TKind::Sentence: value = EvalSentence(member); break;
            default: continue;
            }
            if (SameText(value, left))
                return true;
        }
        return false;
    }

    const TUserLocale& Locale() const
    {
        return X.FServices && X.FServices->Locale ? *X.FServices->Locale : TUserLocale::User();
    }

    static bool IsKnownOperator(const std::string& op)
    {
        static const char* const known[] = {"=", "<>", "<", ">", "<=", ">=", "+", "-", "*", "/"};
        for (const char* k : known)
            if (op == k)
                return true;
        return false;
    }

    std::string Apply(const std::string& op, const std::string& l, const std::string& r)
    {
        const bool lf = IsFloat(l), rf = IsFloat(r);
        const bool both = lf && rf;
        const double a = lf ? FloatOf(l) : 0, b = rf ? FloatOf(r) : 0;
        if (op == "=")
            return BoolText(both ? a == b : SameText(l, r));
        if (op == "<>")
            return BoolText(both ? a != b : Locale().CompareText(l, r) != 0);
        if (op == "<")
            return BoolText(both ? a < b : Locale().CompareText(l, r) < 0);
        if (op == ">")
            return BoolText(both ? a > b : Locale().CompareText(l, r) > 0);
        if (op == "<=")
            return BoolText(both ? a <= b : Locale().CompareText(l, r) <= 0);
        if (op == ">=")
            return BoolText(both ? a >= b : Locale().CompareText(l, r) >= 0);
        if (op == "+") {
            if (both)
                return FloatText(a + b);
            if (l.empty() && rf)
                return FloatText(b);
            return l + r;
        }
        if (op == "-") {
            if (both)
                return FloatText(a - b);
            if (l.empty() && rf)
                return FloatText(-b);
            return ReplaceNoCase(l, r, {});
        }
        if (op == "*")
            return both ? FloatText(a * b) : "0";
        if (op == "/")
            return both && b != 0 ? FloatText(a / b) : "0";
        if (op == "div" || op == "mod") {
            int32_t x = 0, y = 0;
            if (!UnitXmlDoc::TextIsNumeric(l) || !UnitXmlDoc::TextIsNumeric(r) || !UnitXmlDoc::TextToInt32(l, x)
                || !UnitXmlDoc::TextToInt32(r, y) || y == 0)
                return "0";
            const int64_t q = static_cast<int64_t>(x) / y, m = static_cast<int64_t>(x) % y;
            return IntText(op == "div" ? q : m);
        }
        if (op == "and")
            return IntText(IntOf(l) & IntOf(r));
        if (op == "or")
            return IntText(IntOf(l) | IntOf(r));
        if (op == "xor")
            return IntText(IntOf(l) ^ IntOf(r));
        if (op == "shl" || op == "shr") {
            const uint32_t v = static_cast<uint32_t>(IntOf(l));
            const unsigned s = static_cast<uint32_t>(IntOf(r)) & 31u;
            return IntText(static_cast<int32_t>(op == "shl" ? v << s : v >> s));
        }
        // A run such as "=-" or "<+" is the operator followed by signs on its right operand.
        size_t headSize = op.size();
        while (headSize > 1 && (op[headSize - 1] == '-' || op[headSize - 1] == '+'))
            --headSize;
        const std::string head = op.substr(0, headSize);
        if (headSize == op.size() || !IsKnownOperator(head))
            return l;
        std::string right = r;
        for (size_t k = op.size(); k > headSize; --k)
            right = Signed(op[k - 1], right);
        return Apply(head, l, right);
    }

    // ------------------------------------------------------------- variables

    std::string Builtin(const std::string& name, bool& found)
    {
        found = true;
        const TUserLocale& loc = Locale();
        if (SameText(name, "TRUE"))
            return "1";
        if (SameText(name, "FALSE"))
            return "0";
        if (SameText(name, "CRLF") || SameText(name, "$_CRLF"))
            return "\r\n";
        if (SameText(name, "CR") || SameText(name, "$_CR"))
            return "\r";
        if (SameText(name, "LF") || SameText(name, "$_LF"))
            return "\n";
        if (name.size() > 2 && name[0] == '$' && name[1] == '_') {
            const std::string_view k = std::string_view(name).substr(2);
            if (SameText(k, "DateSep"))
                return loc.DateSep;
            if (SameText(k, "TimeSep"))
                return loc.TimeSep;
            if (SameText(k, "FloatKSep"))
                return loc.ThousandSep;
            if (SameText(k, "FloatDecSep"))
                return loc.DecimalSep;
            if (SameText(k, "CurrSymbol"))
                return loc.CurrencySymbol;
            if (SameText(k, "CurrDecs"))
                return IntText(loc.CurrencyDecimals);
            if (SameText(k, "FmtShortDate"))
                return loc.ShortDateFormat;
            if (SameText(k, "FmtLongDate"))
                return loc.LongDateFormat;
            if (SameText(k, "FmtShortTime"))
                return loc.ShortTimeFormat;
            if (SameText(k, "FmtLongTime"))
                return loc.LongTimeFormat;
            if (SameText(k, "FmtCurr")) {
                static const char* const forms[] = {"$1", "1$", "$ 1", "1 $"};
                return loc.PositiveCurrencyIndex >= 0 && loc.PositiveCurrencyIndex < 4 ? forms[loc.PositiveCurrencyIndex] : "?";
            }
            if (SameText(k, "FmtNegCurr")) {
                static const char* const forms[] = {"($1)", "-$1", "$-1", "$1-", "(1$)", "-1$", "1-$", "1$-",
                                                    "-1 $", "-$ 1", "1 $-", "$ 1-", "$ -1", "1- $", "($ 1)", "(1 $)"};
                return loc.NegativeCurrencyIndex >= 0 && loc.NegativeCurrencyIndex < 16 ? forms[loc.NegativeCurrencyIndex] : "?";
            }
        }
        found = false;
        return {};
    }

    static std::string NodeText(TXmlDoc& node, const std::string& type)
    {
        if (SameText(type, "Name"))
            return node.GetName();
        if (SameText(type, "Count"))
            return IntText(node.GetNodeCount());
        if (SameText(type, "XML"))
            return node.GetXML();
        if (!node.HasChildren())
            return node.GetValue();
        return node.GetValue() + node.GetChildrenXML();
    }

    std::string VariableValue(TXmlDoc& item)
    {
        const std::string& name = Prop(item, "Name");
        const std::string& type = Prop(item, "Type");
        bool builtin = false;
        std::string value = type.empty() ? Builtin(name, builtin) : std::string();
        item.SetData(nullptr);
        if (!builtin) {
            TXmlDoc* node = X.ResolveVariable(name, true);
            item.SetData(node);
            value = node ? NodeText(*node, type) : std::string();
        }
        item.Setp("Value", value);
        return value;
    }

    // ------------------------------------------------------------- functions

    // The argument's single variable item, when it is one.
    static TXmlDoc* SingleVariable(TXmlDoc& fn, size_t k)
    {
        TXmlDoc* arg = fn.ChildAt(k);
        if (!arg || arg->GetNodeCount() != 1 || KindOf(*arg->ChildAt(0)) != TKind::Variable)
            return nullptr;
        return arg->ChildAt(0);
    }

    static int64_t NowSecondsLocal()
    {
        const double now = UnitXmlDoc::Now();
        const double epoch = UnitXmlDoc::EncodeDateTime(2000, 1, 1, 0, 0, 0, 0);
        const double s = std::floor((now - epoch) * 86400.0 + 1e-6);
        return s < 0 ? 0 : static_cast<int64_t>(s);
    }

    std::string CallFunction(TXmlDoc& fn)
    {
        const std::string& name = Prop(fn, "Name");
        const TFn kind = FunctionOf(name);
        const size_t argc = static_cast<size_t>(fn.GetNodeCount());
        // Name, Count and XML take their variable unevaluated.
        if (kind == TFn::Name || kind == TFn::Count || kind == TFn::XML) {
            std::string r;
            if (TXmlDoc* v = SingleVariable(fn, 0)) {
                v->Setp("Type", kind == TFn::Name ? "Name" : kind == TFn::Count ? "Count" : "XML");
                r = VariableValue(*v);
                fn.ChildAt(0)->Setp("Value", r);
            } else if (argc) {
                r = EvalSentence(*fn.ChildAt(0));
            }
            fn.Setp("Value", r);
            return r;
        }
        std::vector<std::string> a;
        a.reserve(argc);
        for (size_t k = 0; k < argc; ++k)
            a.push_back(EvalSentence(*fn.ChildAt(k)));
        auto arg = [&a](size_t k) -> const std::string& {
            static const std::string empty;
            return k < a.size() ? a[k] : empty;
        };
        auto sepArg = [&](size_t k) { return k < a.size() && !a[k].empty() ? a[k] : std::string(","); };
        std::string r;
        const TUserLocale& loc = Locale();
        switch (kind) {
        case TFn::Include: {
            const std::string sep = sepArg(2);
            bool present = false;
            for (std::string_view piece : Pieces(arg(0), sep))
                if (SameText(piece, arg(1)) || SameText(TrimView(piece), TrimView(arg(1))))
                    present = true;
            r = present && !arg(0).empty() ? arg(0) : PushText(arg(0), arg(1), sep);
            break;
        }
        case TFn::Push:
            r = PushText(arg(0), arg(1), sepArg(2));
            break;
        case TFn::Pop: {
            const std::string sep = sepArg(1);
            const std::string& list = arg(0);
            const size_t hit = list.find(sep);
            std::string rest;
            if (hit == std::string::npos) {
                r = Trim(list);
            } else {
                r = Trim(std::string_view(list).substr(0, hit));
                rest = Trim(std::string_view(list).substr(hit + sep.size()));
            }
            if (TXmlDoc* v = SingleVariable(fn, 0))
                if (auto* node = static_cast<TXmlDoc*>(v->GetData()))
                    node->SetValue(rest);
            break;
        }
        case TFn::Subst:
            r = ReplaceNoCase(arg(0), arg(1), arg(2));
            break;
        case TFn::Sub:
            r = Substring(arg(0), IntOf(arg(1)), IntOf(arg(2)));
            break;
        case TFn::Trim:
            for (const auto& s : a)
                r += TrimView(s);
            r = Trim(r);
            break;
        case TFn::Lcase:
            r = LowerText(arg(0));
            break;
        case TFn::Ucase:
            r = UpperText(arg(0));
            break;
        case TFn::Concat:
            for (const auto& s : a)
                r += s;
            break;
        case TFn::Length:
            r = IntText(static_cast<int64_t>(arg(0).size()));
            break;
        case TFn::If:
            r = BoolOf(arg(0)) ? arg(1) : arg(2);
            break;
        case TFn::Choose: {
            const int32_t k = IntOf(arg(0));
            r = k >= 0 && static_cast<size_t>(k) + 1 < a.size() ? a[static_cast<size_t>(k) + 1] : std::string();
            break;
        }
        case TFn::Split: {
            const std::string sep = sepArg(1);
            int32_t skip = IntOf(arg(2));
            if (skip < 0)
                skip = 0;
            std::string_view rest = arg(0);
            bool none = false;
            for (int32_t k = 0; k < skip && !none; ++k) {
                const size_t hit = rest.find(sep);
                if (hit == std::string_view::npos)
                    none = true;
                else
                    rest = rest.substr(hit + sep.size());
            }
            if (none)
                r.clear();
            else if (BoolOf(arg(3)))
                r = std::string(rest);
            else
                r = std::string(rest.substr(0, rest.find(sep)));
            break;
        }
        case TFn::Any: {
            const std::string& prefix = arg(0);
            bool any = false;
            for (int k = 0; k < X.FVariables->GetNodeCount() && !any; ++k) {
                const std::string& vn = X.FVariables->ChildAt(static_cast<size_t>(k))->GetName();
                any = vn.size() >= prefix.size() && SameText(std::string_view(vn).substr(0, prefix.size()), prefix);
            }
            r = BoolText(any);
            break;
        }
        case TFn::Random: {
            const int32_t n = IntOf(arg(0));
            r = n > 0 ? IntText(static_cast<int64_t>(Random()() % static_cast<uint64_t>(n))) : "0";
            break;
        }
        case TFn::RandomID:
            r = NewGuidHex();
            break;
        case TFn::SyncID: {
            static std::atomic<unsigned> counter{0};
            const unsigned c = (counter.fetch_add(1) + 1) % 36;
            const int64_t n = IntOf(arg(0));
            r = Base36(static_cast<uint64_t>(NowSecondsLocal())) + Base36(c) + Base36(static_cast<uint64_t>(n < 0 ? -n : n));
            break;
        }
        case TFn::Date:
            r = UnitXmlDoc::DateTimeToText(std::floor(UnitXmlDoc::Now()), TDateTimeKind::Date);
            break;
        case TFn::Now:
            r = UnitXmlDoc::DateTimeToText(UnitXmlDoc::Now());
            break;
        case TFn::ZuluNow:
            r = UnitXmlDoc::DateTimeToText(UnitXmlDoc::Now() + UnitXmlDoc::LocalBias() / 1440.0);
            break;
        case TFn::LayerToUserDate:
        case TFn::ZuluToUserDate: {
            std::string text = arg(0);
            if (kind == TFn::ZuluToUserDate && text.find_first_of("Zz") == std::string::npos)
                text += "Z";
            const double v = UnitXmlDoc::TextToDateTime(text);
            if (v != 0)
                r = loc.FormatDateTime(v, arg(1));
            break;
        }
        case TFn::UserToLayerDate:
        case TFn::UserToZuluDate: {
            const std::string& text = arg(0);
            double v = 0;
            if (text.size() >= 8 && text[4] == '-' && text[7] == '-')
                v = UnitXmlDoc::TextToDateTime(text);
            else if (!loc.ParseDateTime(text, v))
                v = 0;
            if (v == 0)
                break;
            static const TDateTimeKind kinds[] = {TDateTimeKind::DateTime, TDateTimeKind::DateTime, TDateTimeKind::Date,
                                                  TDateTimeKind::Time, TDateTimeKind::LocalZone, TDateTimeKind::Utc};
            const int32_t k = IntOf(arg(1));
            r = UnitXmlDoc::DateTimeToText(v, k >= 0 && k <= 5 ? kinds[k] : TDateTimeKind::DateTime);
            if (kind == TFn::UserToZuluDate && !r.empty()) {
                const double again = UnitXmlDoc::TextToDateTime(r);
                r = again == 0 ? std::string() : UnitXmlDoc::DateTimeToText(again + UnitXmlDoc::LocalBias() / 1440.0);
            }
            break;
        }
        case TFn::FormatNumber:
            r = UnitXmlLocale::FormatFloat(arg(0), IsFloat(arg(1)) ? FloatOf(arg(1)) : 0, loc);
            break;
        case TFn::FormatMoney:
            r = loc.FormatMoney(IsFloat(arg(0)) ? FloatOf(arg(0)) : 0);
            break;
        case TFn::LoadJpeg: {
            if (X.FServices && X.FServices->LoadJpeg && !arg(0).empty()) {
                const int32_t side = IntOf(arg(1));
                if (auto jpeg = X.FServices->LoadJpeg(arg(0), side > 0 ? side : 0)) {
                    const int32_t number = arg(2).empty() ? UnitEncoding::Number(UnitEncoding::TEncodingNumber::Base64) : IntOf(arg(2));
                    r = UnitEncoding::EncodeBytes(*jpeg, number);
                }
            }
            break;
        }
        case TFn::Encode:
            r = UnitEncoding::EncodeText(arg(0), IntOf(arg(1)));
            break;
        case TFn::Decode:
            try {
                r = UnitEncoding::DecodeTextToText(arg(0), IntOf(arg(1)));
            } catch (...) {
                r.clear();
            }
            break;
        case TFn::Recode:
            try {
                r = UnitEncoding::Transcode(arg(0), IntOf(arg(1)), IntOf(arg(2)));
            } catch (...) {
                r.clear();
            }
            break;
        case TFn::RTFFromText:
            r = UnitXmlRtf::RtfFromText(arg(0));
            break;
        case TFn::TextFromRTF:
            r = UnitXmlRtf::TextFromRtf(arg(0));
            break;
        case TFn::HTMLFromRTF:
            r = UnitXmlRtf::HtmlFromRtf(arg(0));
            break;
        case TFn::ConcatRTF:
            r = UnitXmlRtf::ConcatRtf(a);
            break;
        case TFn::Prop: {
            TXmlDoc* node = X.ResolveVariable("." + arg(0), true);
            r = node ? node->GetValue() : std::string();
            break;
        }
        case TFn::Name:
        case TFn::Count:
        case TFn::XML:
        case TFn::Unknown:
            break;
        }
        fn.Setp("Value", r);
        return r;
    }

    static std::string Substring(const std::string& s, int32_t start, int32_t count)
    {
        const int64_t len = static_cast<int64_t>(s.size());
        int64_t first = start == 0 ? 1 : start;
        if (first < 0)
            first = len + first + 1;
        int64_t b, e;  // 1-based, inclusive
        if (count == 0) {
            b = first;
            e = len;
        } else if (count > 0) {
            b = first;
            e = first + count - 1;
        } else {
            e = first;
            b = first + count + 1;
        }
        b = std::max<int64_t>(b, 1);
        e = std::min<int64_t>(e, len);
        if (b > e)
            return {};
        return s.substr(static_cast<size_t>(b - 1), static_cast<size_t>(e - b + 1));
    }

    TXmlExpression& X;
};

// ====================================================================== the expression

TXmlExpression::TXmlExpression() : TXmlDoc("Expression")
{
    FOriginal = New("Original");
    FParser = New("Parser");
    FContext = New("Context");
    FVariables = New("Variables");
    FFunctions = New("Functions");
}

void TXmlExpression::AddContext(TXmlContextObject* AObject)
{
    if (!AObject)
        return;
    FContexts.push_back(AObject);
    FContext->New("Obj")->SetData(AObject);
}

void TXmlExpression::AddContexts(const TXmlContextList& AList)
{
    for (TXmlContextObject* o : AList)
        AddContext(o);
}

bool TXmlExpression::Parse(std::string_view AText)
{
    FOriginal->SetValue(std::string(AText));
    FParser->DeleteNodes();
    FParser->DeleteProperties();
    FVariables->DeleteNodes();
    FFunctions->DeleteNodes();
    FResult = nullptr;
    FParser->Setp("Kind", "Sentence");
    TXmlExpressionEvaluator e(*this);
    size_t pos = 0;
    e.ParseSentence(AText, pos, *FParser);
    return true;
}

bool TXmlExpression::Evaluate()
{
    TXmlExpressionEvaluator e(*this);
    e.EvalSentence(*FParser);
    return true;
}

TXmlDoc* TXmlExpression::Result()
{
    if (!FResult)
        FResult = FParser->GetProperty("Value");
    return FResult;
}

const std::string& TXmlExpression::ResultText() { return Result()->GetValue(); }

TXmlDoc* TXmlExpression::ResolveVariable(const std::string& AName, bool Create)
{
    for (TXmlContextObject* o : FContexts) {
        TXmlDoc* node = nullptr;
        if (o->Resolve(AName, node, *this, Create) && node)
            return node;
    }
    if (TXmlDoc* own = FVariables->FindNode(AName))
        return own;
    return Create ? FVariables->New(AName) : nullptr;
}

std::string TXmlExpression::Eval(std::string_view AText, const TXmlContextList& AContexts, const TXmlLanguageServices* AServices)
{
    TXmlExpression x;
    x.SetServices(AServices);
    x.AddContexts(AContexts);
    x.Parse(AText);
    x.Evaluate();
    return x.ResultText();
}

bool TXmlPredicateContext::Resolve(const std::string& Name, TXmlDoc*& Node, TXmlExpression& /*Expression*/, bool /*Create*/)
{
    if (!FNode)
        return false;
    return UnitXmlExpression::SelectNode(*FNode, Name, Node, FVariables);
}

// ====================================================================== path queries

namespace UnitXmlExpression {

namespace {

struct TStep {
    std::string_view Name;
    std::string_view Predicate;
    bool HasPredicate = false;
};

// The first non-empty step and what follows it; a "\" inside brackets or quotes belongs to the step.
bool NextStep(std::string_view path, std::string_view& step, std::string_view& rest)
{
    size_t pos = 0;
    while (pos < path.size()) {
        size_t i = pos;
        int depth = 0;
        char quote = 0;
        for (; i < path.size(); ++i) {
            const char c = path[i];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (depth > 0 && (c == '\'' || c == '"')) {
                quote = c;
            } else if (c == '[') {
                ++depth;
            } else if (c == ']') {
                if (depth > 0)
                    --depth;
            } else if (c == '\\' && depth == 0) {
                break;
            }
        }
        std::string_view s = TrimView(path.substr(pos, i - pos));
        if (!s.empty()) {
            step = s;
            rest = i < path.size() ? path.substr(i + 1) : std::string_view();
            return true;
        }
        pos = i + 1;
    }
    return false;
}

TStep SplitStep(std::string_view s)
{
    TStep r;
    const size_t open = s.find('[');
    if (open == std::string_view::npos) {
        r.Name = s;
        return r;
    }
    r.Name = TrimView(s.substr(0, open));
    size_t close = s.rfind(']');
    if (close == std::string_view::npos || close < open)
        close = s.size();
    r.Predicate = TrimView(s.substr(open + 1, close - open - 1));
    r.HasPredicate = true;
    return r;
}

bool AllDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int64_t Number(std::string_view s)
{
    int64_t v = 0;
    for (char c : s) {
        v = v * 10 + (c - '0');
        if (v > INT32_MAX)
            return INT32_MAX;
    }
    return v;
}

bool RestIsEmpty(std::string_view rest)
{
    std::string_view a, b;
    return !NextStep(rest, a, b);
}

class TMatcher {
public:
    TMatcher(TXmlDocList& AList, const TXmlVariables* AVariables, bool AFirstOnly)
        : FList(AList), FVariables(AVariables), FFirstOnly(AFirstOnly) {}

    void Match(TXmlDoc& node, std::string_view path)
    {
        TNestingGuard guard;
        if (TNestingGuard::Deep() || Done())
            return;
        std::string_view stepText, rest;
        if (!NextStep(path, stepText, rest))
            return;
        const TStep step = SplitStep(stepText);
        const bool last = RestIsEmpty(rest);
        const bool anyDepth = step.Name == "..";

        if (!anyDepth && !step.Name.empty() && step.Name[0] == '.' && !step.HasPredicate) {
            if (!last) {
                if (step.Name == ".")
                    Match(node, rest);
                return;
            }
            const std::string_view p = step.Name.substr(1);
            if (p.empty()) {
                Add(&node);
            } else if (p == "*") {
                for (int i = 0; i < node.GetPropertyCount() && !Done(); ++i)
                    Add(node.GetPropertyByIndex(i));
            } else if (AllDigits(p)) {
                const int64_t k = Number(p);
                if (k < node.GetPropertyCount())
                    Add(node.GetPropertyByIndex(static_cast<int>(k)));
            } else {
                Add(node.GetProperty(p));
            }
            return;
        }

        // The position test.
        int64_t low = 0, high = std::numeric_limits<int64_t>::max();
        bool positional = false;
        std::unique_ptr<TXmlExpression> test;
        std::unique_ptr<TXmlPredicateContext> context;
        if (step.HasPredicate) {
            const size_t range = step.Predicate.find("..");
            if (AllDigits(step.Predicate)) {
                low = high = Number(step.Predicate);
                positional = true;
            } else if (range != std::string_view::npos
                       && (range == 0 || AllDigits(TrimView(step.Predicate.substr(0, range))))
                       && (range + 2 == step.Predicate.size() || AllDigits(TrimView(step.Predicate.substr(range + 2))))) {
                const std::string_view a = TrimView(step.Predicate.substr(0, range));
                const std::string_view b = TrimView(step.Predicate.substr(range + 2));
                low = a.empty() ? 0 : Number(a);
                high = b.empty() ? std::numeric_limits<int64_t>::max() : Number(b);
                positional = true;
            } else {
                test = std::make_unique<TXmlExpression>();
                context = std::make_unique<TXmlPredicateContext>(nullptr, FVariables);
                test->SetServices(FVariables ? FVariables->Services : nullptr);
                test->AddContext(context.get());
                if (FVariables)
                    test->AddContexts(FVariables->Contexts);
                test->Parse(step.Predicate);
            }
        }

        const bool anyName = step.Name.empty() || step.Name == "*" || anyDepth;
        const int64_t count = node.GetNodeCount();
        const int64_t from = positional ? std::max<int64_t>(low, 0) : 0;
        const int64_t to = positional ? std::min<int64_t>(high, count - 1) : count - 1;
        for (int64_t i = anyDepth ? 0 : from; i <= (anyDepth ? count - 1 : to) && !Done(); ++i) {
            TXmlDoc* child = node.ChildAt(static_cast<size_t>(i));
            if (!child)
                break;
            bool pass = (!positional || (i >= from && i <= to)) && (anyName || SameText(child->GetName(), step.Name));
            if (pass && test) {
                context->SetNode(child);
                test->Evaluate();
                pass = test->ResultBool();
            }
            if (pass) {
                if (last)
                    Add(child);
                else
                    Match(*child, rest);
            }
            if (anyDepth && !Done())
                Match(*child, path);
        }
    }

private:
    bool Done() const { return FFirstOnly && !FList.empty(); }
    void Add(TXmlDoc* n)
    {
        if (n)
            FList.push_back(n);
    }

    TXmlDocList& FList;
    const TXmlVariables* FVariables;
    bool FFirstOnly;
};

}  // namespace

bool SelectNodes(TXmlDoc& AFrom, std::string_view APath, TXmlDocList& AList, const TXmlVariables* AVariables)
{
    const size_t before = AList.size();
    TMatcher(AList, AVariables, false).Match(AFrom, APath);
    return AList.size() > before;
}

bool SelectNode(TXmlDoc& AFrom, std::string_view APath, TXmlDoc*& ANode, const TXmlVariables* AVariables)
{
    TXmlDocList list;
    TMatcher(list, AVariables, true).Match(AFrom, APath);
    ANode = list.empty() ? nullptr : list.front();
    return ANode != nullptr;
}

}  // namespace UnitXmlExpression
