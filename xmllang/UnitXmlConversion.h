// The conversion template language: an XML template whose instruction elements (prefix "xc"
// unless the template names another) select input nodes, evaluate expressions, branch, loop,
// keep variables and write text, while every other element is copied to the output.
//
// Work is bounded: a conversion that runs past its limits (steps, nesting, loop rounds, output
// size) stops and reports false, so no template or input can hang or exhaust the stack.
#pragma once

#include "core/UnitXmlDoc.h"
#include "xmllang/UnitXmlExpression.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

struct TXmlConversionLimits {
    // Template elements processed (each element, each loop round and each template applied counts).
    size_t MaxSteps = 50'000'000;
    // Nesting of element processing (templates applying templates, nested instructions).
    int MaxDepth = 400;
    // Rounds of one While.
    size_t MaxLoopRounds = 10'000'000;
    // Nodes a run may create (literal elements, copies, texts read as XML; a text counts a node
    // per four bytes).
    size_t MaxCreatedNodes = 4'000'000;
    // Bytes of text one output node may collect (and four times that in all).
    size_t MaxOutputSize = size_t(512) << 20;
};

// Supplies the text named by an Import's From; false when there is none.
using TXmlImportHook = std::function<bool(const std::string& From, std::string& Text)>;
// Runs a host action for a Call, with the memory variable named by its Context (or none).
using TXmlCallHook = std::function<bool(TXmlDoc* Context)>;

class TXmlConversion {
public:
    explicit TXmlConversion(TXmlLanguageServices AServices = {}, TXmlConversionLimits ALimits = {});
    ~TXmlConversion();
    TXmlConversion(const TXmlConversion&) = delete;
    TXmlConversion& operator=(const TXmlConversion&) = delete;

    void SetImportHook(TXmlImportHook AHook) { FImportHook = std::move(AHook); }
    void SetCallHook(TXmlCallHook AHook) { FCallHook = std::move(AHook); }

    // Runs the template over the input text. True when the template has a root template
    // (Match "\") whose processing was not stopped; OutputText is then the output node's value.
    // False leaves OutputText empty. Never throws for any input (memory exhaustion aside,
    // which is reported as false too).
    bool Convert(std::string_view InputText, std::string_view TemplateText, std::string& OutputText);

    // Why the last Convert reported false: "" (it did not), "NoRootTemplate", "Stopped",
    // "LimitExceeded", "LiveNodeDestroyed" (a Clear, a Set or a write
    // would have destroyed a node the run was still working on: the current node, an output node
    // or a node of a selection being walked) or "OutOfMemory".
    const std::string& LastFailure() const { return FLastFailure; }

private:
    class TRun;
    TXmlLanguageServices FServices;
    TXmlConversionLimits FLimits;
    TXmlImportHook FImportHook;
    TXmlCallHook FCallHook;
    std::string FLastFailure;
};

// The context of the expressions inside a template, one of three asked in the order
// mode 2, mode 0, mode 1:
//   mode 2 on the memory "Variables" node: names beginning with "$" or "@" (the sign dropped),
//          looked up as paths, else created there (a name holding "[" is not created);
//   mode 0 on the input root: names beginning with "\";
//   mode 1 on the current input node: every other name.
class TXmlConversionContext : public TXmlContextObject {
public:
    TXmlConversionContext(TXmlDoc* ANode, int AMode, const TXmlVariables* AVariables)
        : FNode(ANode), FMode(AMode), FVariables(AVariables) {}
    bool Resolve(const std::string& Name, TXmlDoc*& Node, TXmlExpression& Expression, bool Create) override;

private:
    TXmlDoc* FNode;
    int FMode;
    const TXmlVariables* FVariables;
};
