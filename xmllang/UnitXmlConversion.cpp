#include "xmllang/UnitXmlConversion.h"

#include "core/UnitXmlWalk.h"
#include "encoding/UnitCodecs.h"
#include "encoding/UnitEncoding.h"
#include "platform/UnitPlatformFiles.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

using UnitXmlDoc::SameText;

namespace {

// Raised inside a run when a limit is passed; Convert turns it into false.
struct ELimitExceeded {};
// Raised when an instruction would destroy a node the run is still working on (the current
// node, an output node, a node of a selection being walked); Convert turns it into false.
struct ELiveNodeDestroyed {};

std::string_view TrimView(std::string_view s)
{
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

using UnitXmlDoc::Prop;

bool HasAttr(const TXmlDoc& e, std::string_view name)
{
    const TXmlDoc* p = e.FindProperty(name);
    return p && !p->GetValue().empty();
}

std::string NewId()
{
    return UnitCodecs::HexEncode(UnitPlatformFiles::NewGuid());
}

// Appends to a node's value without copying what it holds: output nodes collect many small
// writes. (The value is a non-const member behind a const accessor, so moving it out is sound.)
void AppendValue(TXmlDoc& node, std::string_view text)
{
    std::string value = std::move(const_cast<std::string&>(node.GetValue()));
    value.append(text);
    node.SetValue(std::move(value));
}

enum class TInstr {
    Literal, Id, Group, Text, If, While, Choose, Select, Resolve, Value, Sort, ForEach, Copy, Clear, Import, Call,
    ApplyTemplates, End, Comment, Nothing
};

}  // namespace

// ====================================================================== contexts

bool TXmlConversionContext::Resolve(const std::string& Name, TXmlDoc*& Node, TXmlExpression& /*Expression*/, bool Create)
{
    if (!FNode || Name.empty())
        return false;
    const char first = Name[0];
    switch (FMode) {
    case 2: {
        if (first != '$' && first != '@')
            return false;
        const std::string_view rest = std::string_view(Name).substr(1);
        if (UnitXmlExpression::SelectNode(*FNode, rest, Node, FVariables))
            return true;
        if (rest.find('[') != std::string_view::npos || !Create)
            return false;
        const size_t dot = rest.find('.');
        TXmlDoc* n = FNode->GetNode(rest.substr(0, dot));
        Node = dot == std::string_view::npos || dot + 1 >= rest.size() ? n : n->GetProperty(rest.substr(dot + 1));
        return Node != nullptr;
    }
    case 0:
        if (first != '\\')
            return false;
        // "\" alone is the input root itself.
        if (TrimView(std::string_view(Name).substr(1)).empty()) {
            Node = FNode;
            return true;
        }
        return UnitXmlExpression::SelectNode(*FNode, std::string_view(Name).substr(1), Node, FVariables);
    default:
        if (first == '$' || first == '@' || first == '\\')
            return false;
        return UnitXmlExpression::SelectNode(*FNode, Name, Node, FVariables);
    }
}

// ====================================================================== one run

class TXmlConversion::TRun {
public:
    TRun(TXmlConversion& AOwner) : Owner(AOwner), Limits(AOwner.FLimits) {}

    bool Run(std::string_view InputText, std::string_view TemplateText, std::string& OutputText)
    {
        Input = Work.New("");
        Input->SetXML(InputText.empty() ? std::string_view("<INPUT/>") : InputText);
        Template = Work.New("");
        Template->SetXML(TemplateText);
        Context = Work.New("CONTEXT");
        Variables = Memory.New("Variables");
        Terminated = Memory.New("Terminated");

        const std::string& rootName = Template->GetName();
        const size_t colon = rootName.find(':');
        if (colon != std::string::npos)
            Prefix = rootName.substr(0, colon);
        else
            Prefix = Prop(*Template, "xc:Namespace");
        if (Prefix.empty())
            Prefix = "xc";
        Encoding = Prop(*Template, Prefix + ":Encode");
        if (Encoding.empty())
            Encoding = Prop(*Template, "xc:Encode");
        if (Encoding.empty())
            Encoding = "xml";

        TXmlDoc* root = nullptr;
        for (int i = 0; i < Template->GetNodeCount() && !root; ++i) {
            TXmlDoc* c = Template->ChildAt(static_cast<size_t>(i));
            const TXmlDoc* match = c->FindProperty("Match");
            if (match && match->GetValue() == "\\")
                root = c;
        }
        if (!root) {
            Owner.FLastFailure = "NoRootTemplate";
            return false;
        }
        if (!Group(*root, Input, *Context)) {
            Owner.FLastFailure = "Stopped";
            return false;
        }
        OutputText = Context->GetValue();
        return true;
    }

private:
    // ---------------------------------------------------------------- helpers

    void Step(size_t n = 1)
    {
        Steps += n;
        if (Steps > Limits.MaxSteps)
            throw ELimitExceeded{};
    }

    // Nodes the run still works on; destroying one of them stops the run.
    struct TLive {
        TRun& R;
        std::vector<const TXmlDoc*> Nodes;
        TLive(TRun& r, std::initializer_list<const TXmlDoc*> nodes) : R(r), Nodes(nodes) { Add(); }
        TLive(TRun& r, const TXmlDocList& nodes) : R(r), Nodes(nodes.begin(), nodes.end()) { Add(); }
        ~TLive()
        {
            for (const TXmlDoc* n : Nodes)
                if (n) {
                    auto it = R.Live.find(n);
                    if (it != R.Live.end())
                        R.Live.erase(it);
                }
        }
        void Add()
        {
            for (const TXmlDoc* n : Nodes)
                if (n)
                    R.Live.insert(n);
        }
        TLive(const TLive&) = delete;
        TLive& operator=(const TLive&) = delete;
    };

    // Before the children (and, with props, the properties) of T are destroyed.
    void CheckDestroy(const TXmlDoc& T, bool props)
    {
        if (Live.empty())
            return;
        std::vector<const TXmlDoc*> pending;
        if (props)
            for (int i = 0; i < T.GetPropertyCount(); ++i)
                if (Live.count(const_cast<TXmlDoc&>(T).GetPropertyByIndex(i)))
                    throw ELiveNodeDestroyed{};
        for (size_t i = 0; i < static_cast<size_t>(T.GetNodeCount()); ++i)
            pending.push_back(T.ChildAt(i));
        size_t walked = 0;
        while (!pending.empty()) {
            const TXmlDoc* x = pending.back();
            pending.pop_back();
            ++walked;
            if (Live.count(x))
                throw ELiveNodeDestroyed{};
            for (int i = 0; i < x->GetPropertyCount(); ++i)
                if (Live.count(const_cast<TXmlDoc*>(x)->GetPropertyByIndex(i)))
                    throw ELiveNodeDestroyed{};
            for (size_t i = 0; i < static_cast<size_t>(x->GetNodeCount()); ++i)
                pending.push_back(x->ChildAt(i));
        }
        Steps += walked / 16;
    }

    void Created(size_t nodes)
    {
        Nodes += nodes;
        if (Nodes > Limits.MaxCreatedNodes)
            throw ELimitExceeded{};
    }

    void Produced(size_t bytes, const TXmlDoc& into)
    {
        Bytes += bytes;
        if (Bytes > Limits.MaxOutputSize * 4 || into.GetValue().size() > Limits.MaxOutputSize)
            throw ELimitExceeded{};
    }

    TInstr KindOf(const TXmlDoc& e, std::string& word) const
    {
        const std::string& name = e.GetName();
        if (!name.empty() && (name[0] == '!' || name[0] == '?'))
            return TInstr::Comment;
        const size_t colon = name.find(':');
        if (colon == std::string::npos || colon != Prefix.size() || !SameText(std::string_view(name).substr(0, colon), Prefix))
            return TInstr::Literal;
        word = name.substr(colon + 1);
        struct TRow {
            const char* Word;
            TInstr Kind;
        };
        static const TRow rows[] = {
            {"ID", TInstr::Id}, {"Template", TInstr::Group}, {"When", TInstr::Group}, {"Otherwise", TInstr::Group},
            {"Case", TInstr::Group}, {"Default", TInstr::Group}, {"Text", TInstr::Text}, {"If", TInstr::If},
            {"While", TInstr::While}, {"Choose", TInstr::Choose}, {"Select", TInstr::Select},
            {"Resolve", TInstr::Resolve}, {"Value", TInstr::Value}, {"Sort", TInstr::Sort},
            {"ForEach", TInstr::ForEach}, {"With", TInstr::ForEach}, {"Copy", TInstr::Copy}, {"Clear", TInstr::Clear},
            {"Import", TInstr::Import}, {"Call", TInstr::Call}, {"ApplyTemplates", TInstr::ApplyTemplates},
            {"End", TInstr::End}, {"Comment", TInstr::Comment},
        };
        for (const TRow& r : rows)
            if (SameText(word, r.Word))
                return r.Kind;
        return TInstr::Nothing;
    }

    bool IsInstruction(const TXmlDoc& e, const char* word) const
    {
        std::string w;
        const TInstr k = KindOf(e, w);
        return k != TInstr::Literal && SameText(w, word);
    }

    struct TScope {
        TXmlConversionContext Memory, Root, Current;
        TXmlVariables Vars;
        TScope(TRun& run, TXmlDoc* current)
            : Memory(run.Variables, 2, &Vars), Root(run.Input, 0, &Vars), Current(current, 1, &Vars)
        {
            Vars.Contexts = {&Memory, &Root, &Current};
            Vars.Services = &run.Owner.FServices;
        }
    };

    std::string Evaluate(const std::string& text, TXmlDoc* N)
    {
        TScope scope(*this, N);
        TXmlExpression x;
        x.SetServices(&Owner.FServices);
        x.AddContexts(scope.Vars.Contexts);
        x.Parse(text);
        x.Evaluate();
        return x.ResultText();
    }

    bool Test(const TXmlDoc& e, TXmlDoc* N) { return UnitXmlDoc::TextToBool(Evaluate(Prop(e, "Test"), N)); }

    // The node a name denotes through the three contexts (created where the contexts create). A
    // name none of them resolves gets a node of the run's own, which lives as long as the run.
    TXmlDoc* Target(const std::string& name, TXmlDoc* N)
    {
        TScope scope(*this, N);
        TXmlExpression x;
        for (TXmlContextObject* o : scope.Vars.Contexts) {
            TXmlDoc* node = nullptr;
            if (o->Resolve(name, node, x, true) && node)
                return node;
        }
        Created(1);
        return Orphans.New(name);
    }

    TXmlDoc* MemoryVariable(const std::string& nameWithSign, TXmlDoc* N)
    {
        return Target(nameWithSign, N);
    }

    TXmlDocList Selection(const std::string& select, TXmlDoc* N)
    {
        TXmlDocList out;
        if (TrimView(select).empty()) {
            if (N)
                out.push_back(N);
            return out;
        }
        TScope scope(*this, N);
        std::string_view rest = select;
        for (;;) {
            const size_t bar = rest.find("||");
            const std::string_view path = TrimView(rest.substr(0, bar));
            if (path == "\\") {
                out.push_back(Input);       // the input root itself
            } else if (path == "@") {
                out.push_back(Variables);   // the memory variables
            } else if (!path.empty()) {
                if (path[0] == '\\')
                    UnitXmlExpression::SelectNodes(*Input, path.substr(1), out, &scope.Vars);
                else if (path[0] == '@')
                    UnitXmlExpression::SelectNodes(*Variables, path.substr(1), out, &scope.Vars);
                else if (N)
                    UnitXmlExpression::SelectNodes(*N, path, out, &scope.Vars);
            }
            if (bar == std::string_view::npos)
                break;
            rest = rest.substr(bar + 2);
        }
        return out;
    }

    void Fold(TXmlDoc& O)
    {
        if (!O.HasChildren())
            return;
        CheckDestroy(O, false);
        std::string text = O.GetChildrenXML();
        Produced(text.size(), O);
        AppendValue(O, text);
        O.DeleteNodes();
    }

    void Write(TXmlDoc& O, const std::string& text, const TXmlDoc& e)
    {
        const std::string& attr = Prop(e, "Attr");
        const std::string& encode = HasAttr(e, "Encode") ? Prop(e, "Encode") : Encoding;
        std::string encoded = UnitEncoding::ConvertByName(text, encode, true);
        if (!attr.empty()) {
            Produced(encoded.size(), O);
            O.Setp(attr, std::move(encoded));
            return;
        }
        Fold(O);
        Produced(encoded.size(), O);
        AppendValue(O, encoded);
    }

    // ---------------------------------------------------------------- processing

    // The children of E in order; false when one of them stopped the sequence.
    bool Children(TXmlDoc& E, TXmlDoc* N, TXmlDoc& O)
    {
        for (size_t i = 0; i < static_cast<size_t>(E.GetNodeCount()); ++i)
            if (!Process(*E.ChildAt(i), N, O))
                return false;
        return true;
    }

    // Template, When, Otherwise, Case and Default: the children into a temporary result that,
    // when they all ran, is added to O as text. True when they all ran.
    bool Group(TXmlDoc& E, TXmlDoc* N, TXmlDoc& O)
    {
        TXmlDoc result;
        if (!Children(E, N, result))
            return false;
        CheckDestroy(O, false);
        const size_t before = O.GetValue().size();
        if (O.HasChildren())
            AppendValue(O, O.GetChildrenXML());
        AppendValue(O, result.GetValue());
        if (result.HasChildren())
            AppendValue(O, result.GetChildrenXML());
        Produced(O.GetValue().size() - before, O);
        O.DeleteNodes();
        return true;
    }

    bool Process(TXmlDoc& E, TXmlDoc* N, TXmlDoc& O)
    {
        if (Terminated->GetAsBool())
            return true;
        Step();
        struct TDepth {
            int& D;
            explicit TDepth(int& d) : D(d) { ++D; }
            ~TDepth() { --D; }
        } depth(Depth);
        if (Depth > Limits.MaxDepth)
            throw ELimitExceeded{};
        TLive live(*this, {N, &O, &E});

        std::string word;
        switch (KindOf(E, word)) {
        case TInstr::Comment:
            return true;
        case TInstr::Literal:
        case TInstr::Id:
            return Literal(E, N, O, KindOf(E, word) == TInstr::Id);
        case TInstr::Group:
            Group(E, N, O);
            return true;
        case TInstr::Text:
            Write(O, E.GetValue(), E);
            return true;
        case TInstr::If: {
            const int n = E.GetNodeCount();
            TXmlDoc* last = n ? E.ChildAt(static_cast<size_t>(n - 1)) : nullptr;
            if (Test(E, N))
                Children(E, N, O);
            else if (last && IsInstruction(*last, "Else"))
                Children(*last, N, O);
            return true;
        }
        case TInstr::While: {
            TXmlDoc* counter = Variables->GetNode("_i");
            counter->SetAsInt(0);
            size_t rounds = 0;
            while (Test(E, N)) {
                if (++rounds > Limits.MaxLoopRounds)
                    throw ELimitExceeded{};
                Step();
                counter = Variables->GetNode("_i");
                counter->SetAsInt(counter->GetAsInt() + 1);
                Children(E, N, O);
                if (Terminated->GetAsBool())
                    break;
            }
            return true;
        }
        case TInstr::Choose:
            for (size_t i = 0; i < static_cast<size_t>(E.GetNodeCount()); ++i) {
                TXmlDoc& c = *E.ChildAt(i);
                if ((IsInstruction(c, "When") && Test(c, N)) || IsInstruction(c, "Otherwise")) {
                    Process(c, N, O);
                    break;
                }
            }
            return true;
        case TInstr::Select: {
            TXmlDoc probe("", Evaluate(Prop(E, "Expression"), N));
            const int32_t index = probe.GetAsInt();
            TXmlDoc* chosen = index >= 0 && index < E.GetNodeCount() ? E.ChildAt(static_cast<size_t>(index)) : nullptr;
            if (!chosen) {
                const std::string name = Prefix + ":Default";
                chosen = E.FindNode(name);
                if (!chosen)
                    chosen = E.New(name);
            }
            return Process(*chosen, N, O);
        }
        case TInstr::Resolve: {
            const std::string result = Evaluate(Prop(E, "Expression"), N);
            const std::string& set = Prop(E, "Set");
            if (set.empty()) {
                Write(O, result, E);
                return true;
            }
            TXmlDoc* target = Target(set, N);
            if (!target)
                return true;
            CheckDestroy(*target, false);
            target->DeleteNodes();
            if (set[0] == '@') {
                if (!result.empty()) {
                    Produced(result.size(), *target);
                    Created(result.size() / 4 + 1);
                    target->New("")->SetXML(result);
                }
            } else {
                std::string value = HasAttr(E, "Encode") ? UnitEncoding::ConvertByName(result, Prop(E, "Encode"), true) : result;
                Produced(value.size(), *target);
                target->SetValue(std::move(value));
            }
            return true;
        }
        case TInstr::Value: {
            const TXmlDocList nodes = Selection(Prop(E, "Select"), N);
            TLive hold(*this, nodes);
            for (TXmlDoc* n : nodes)
                Write(O, n->GetValue(), E);
            return true;
        }
        case TInstr::Sort:
            if (N)
                N->SortNodes(false, (SameText(Prop(E, "Order"), "Descending") ? "-" : "") + Prop(E, "Select"));
            return true;
        case TInstr::ForEach: {
            Variables->GetNode("_i")->SetAsInt(0);
            const TXmlDocList nodes = Selection(Prop(E, "Select"), N);
            TLive hold(*this, nodes);
            int32_t position = 0;
            for (TXmlDoc* n : nodes) {
                Step();
                Variables->GetNode("_i")->SetAsInt(++position);
                Children(E, n, O);
                if (Terminated->GetAsBool())
                    break;
            }
            return true;
        }
        case TInstr::Copy: {
            const std::string& select = Prop(E, "Select");
            const std::string& set = Prop(E, "Set");
            if (!set.empty() && set[0] == '@') {
                if (TXmlDoc* target = MemoryVariable(set, N))
                    Children(E, N, *target);
                return true;
            }
            TXmlDocList nodes;
            if (select.empty() && E.HasChildren()) {
                for (size_t i = 0; i < static_cast<size_t>(E.GetNodeCount()); ++i)
                    nodes.push_back(E.ChildAt(i));
            } else {
                nodes = Selection(select, N);
            }
            const bool asText = HasAttr(E, "Encode") || HasAttr(E, "Attr");
            TLive hold(*this, nodes);
            for (TXmlDoc* n : nodes) {
                if (asText) {
                    Write(O, n->GetXML(), E);
                } else {
                    const size_t count = UnitXmlWalk::CountNodes(*n);
                    Step(count);
                    Created(count);
                    if (n == &O || IsAncestor(*n, O))
                        O.NewFromClone(*n->Duplicate());
                    else
                        O.NewFromClone(*n);
                }
            }
            return true;
        }
        case TInstr::Clear: {
            // A selected node inside another selected one goes with it: clearing only the outer
            // ones gives the same tree and leaves no pointer to a destroyed node behind.
            const TXmlDocList nodes = Selection(Prop(E, "Select"), N);
            const std::unordered_set<const TXmlDoc*> selected(nodes.begin(), nodes.end());
            std::unordered_set<const TXmlDoc*> covered;
            for (TXmlDoc* n : nodes) {
                std::vector<TXmlDoc*> pending{n};
                while (!pending.empty()) {
                    TXmlDoc* x = pending.back();
                    pending.pop_back();
                    Step();
                    for (int i = 0; i < x->GetPropertyCount(); ++i)
                        if (selected.count(x->GetPropertyByIndex(i)))
                            covered.insert(x->GetPropertyByIndex(i));
                    for (size_t i = 0; i < static_cast<size_t>(x->GetNodeCount()); ++i) {
                        TXmlDoc* c = x->ChildAt(i);
                        if (selected.count(c))
                            covered.insert(c);
                        pending.push_back(c);
                    }
                }
            }
            for (TXmlDoc* n : nodes) {
                if (covered.count(n))
                    continue;
                CheckDestroy(*n, true);
                n->DeleteProperties();
                n->DeleteNodes();
            }
            return true;
        }
        case TInstr::Import: {
            if (!Owner.FImportHook)
                return false;
            std::string text;
            if (!Owner.FImportHook(Prop(E, "From"), text))
                return false;
            const std::string& set = Prop(E, "Set");
            if (!set.empty() && set[0] == '@') {
                if (TXmlDoc* target = MemoryVariable(set, N)) {
                    Created(text.size() / 4 + 1);
                    target->New("")->SetXML(text);
                }
            } else if (!set.empty() && set[0] == '$') {
                if (TXmlDoc* target = MemoryVariable(set, N))
                    target->SetValue(text);
            } else {
                Created(text.size() / 4 + 1);
                TXmlDoc* child = E.New("");
                child->SetXML(text);
                Children(*child, N, O);
            }
            return true;
        }
        case TInstr::Call: {
            if (!Owner.FCallHook)
                return false;
            const std::string& context = Prop(E, "Context");
            TXmlDoc* node = !context.empty() && context[0] == '@' ? MemoryVariable(context, N) : nullptr;
            return Owner.FCallHook(node);
        }
        case TInstr::ApplyTemplates:
            ApplyTemplates(E, N, O);
            return true;
        case TInstr::End:
            Terminated->SetAsBool(true);
            return true;
        case TInstr::Nothing:
            return true;
        }
        return true;
    }

    // Whether O lies inside the tree of n (copying n into O would then copy what it grows).
    static bool IsAncestor(const TXmlDoc& n, const TXmlDoc& O)
    {
        std::vector<const TXmlDoc*> pending{&n};
        while (!pending.empty()) {
            const TXmlDoc* x = pending.back();
            pending.pop_back();
            if (x == &O)
                return true;
            for (size_t i = 0; i < static_cast<size_t>(x->GetNodeCount()); ++i)
                pending.push_back(x->ChildAt(i));
        }
        return false;
    }

    bool Literal(TXmlDoc& E, TXmlDoc* N, TXmlDoc& O, bool id)
    {
        Created(1);
        TXmlDoc* child = O.New(id ? NewId() : E.GetName());
        child->SetValue(E.GetValue());
        Produced(E.GetValue().size() + E.GetName().size(), O);
        const std::string prefix = Prefix + ":";
        for (int i = 0; i < E.GetPropertyCount(); ++i) {
            const TXmlDoc* p = E.GetPropertyByIndex(i);
            const std::string& name = p->GetName();
            if (SameText(name, "_enctype") || SameText(name, "_length"))
                continue;
            if (name.size() > prefix.size() && SameText(std::string_view(name).substr(0, prefix.size()), prefix)) {
                if (SameText(std::string_view(name).substr(prefix.size()), "Namespace")
                    || SameText(std::string_view(name).substr(prefix.size()), "Encode"))
                    continue;
                std::string value = Evaluate(p->GetValue(), N);
                Produced(value.size(), O);
                child->Setp(name.substr(prefix.size()), std::move(value));
            } else if (!p->GetValue().empty()) {
                child->Setp(name, p->GetValue());
            }
        }
        child->SetEncType("none");
        return Children(E, N, *child);
    }

    void ApplyTemplates(TXmlDoc& E, TXmlDoc* N, TXmlDoc& O)
    {
        const std::string& select = Prop(E, "Select");
        const std::string& output = Prop(E, "Output");
        const std::string& mode = Prop(E, "Mode");
        TXmlDocList nodes;
        if (select.empty() && E.HasChildren()) {
            for (size_t i = 0; i < static_cast<size_t>(E.GetNodeCount()); ++i)
                nodes.push_back(E.ChildAt(i));
        } else {
            nodes = Selection(select, N);
        }
        TXmlDoc* out = &O;
        if (!output.empty() && output[0] == '@')
            out = MemoryVariable(output, N);
        if (!out)
            return;
        TLive hold(*this, nodes);
        TXmlDoc* body = nullptr;
        if (!mode.empty() && mode[0] == '@')
            body = MemoryVariable(mode, N);
        else if (!output.empty())
            body = &E;
        for (TXmlDoc* n : nodes) {
            Step();
            if (Terminated->GetAsBool())
                return;
            if (body) {
                Children(*body, n, *out);
                continue;
            }
            if (TXmlDoc* t = FindTemplate(n->GetName(), mode))
                Process(*t, n, *out);
        }
    }

    TXmlDoc* FindTemplate(const std::string& name, const std::string& mode)
    {
        for (size_t i = 0; i < static_cast<size_t>(Template->GetNodeCount()); ++i) {
            TXmlDoc* t = Template->ChildAt(i);
            if (!IsInstruction(*t, "Template"))
                continue;
            const std::string& match = Prop(*t, "Match");
            if (mode.empty()) {
                if (SameText(match, name))
                    return t;
            } else if (SameText(Prop(*t, "Mode"), mode) && (match.empty() || match == "*" || SameText(match, name))) {
                return t;
            }
        }
        return nullptr;
    }

public:
    TXmlConversion& Owner;
    const TXmlConversionLimits& Limits;
    TXmlDoc Work{"CONVERSION"};
    TXmlDoc Memory{"Memory"};
    TXmlDoc Orphans{"Orphans"};
    TXmlDoc* Input = nullptr;
    TXmlDoc* Template = nullptr;
    TXmlDoc* Context = nullptr;
    TXmlDoc* Variables = nullptr;
    TXmlDoc* Terminated = nullptr;
    std::string Prefix;
    std::string Encoding;
    size_t Steps = 0;
    size_t Bytes = 0;
    size_t Nodes = 0;
    int Depth = 0;
    std::unordered_multiset<const TXmlDoc*> Live;
};

// ====================================================================== the conversion

TXmlConversion::TXmlConversion(TXmlLanguageServices AServices, TXmlConversionLimits ALimits)
    : FServices(std::move(AServices)), FLimits(ALimits)
{
}

TXmlConversion::~TXmlConversion() = default;

bool TXmlConversion::Convert(std::string_view InputText, std::string_view TemplateText, std::string& OutputText)
{
    OutputText.clear();
    FLastFailure.clear();
    try {
        TRun run(*this);
        std::string out;
        if (!run.Run(InputText, TemplateText, out))
            return false;
        OutputText = std::move(out);
        return true;
    } catch (const ELimitExceeded&) {
        FLastFailure = "LimitExceeded";
    } catch (const ELiveNodeDestroyed&) {
        FLastFailure = "LiveNodeDestroyed";
    } catch (const std::bad_alloc&) {
        FLastFailure = "OutOfMemory";
    } catch (...) {
        FLastFailure = "Failed";
    }
    OutputText.clear();
    return false;
}
