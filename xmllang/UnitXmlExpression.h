// The expression language of the path predicates and the conversion templates: string and
// number literals, variables resolved against context objects or the expression's own table,
// prefix and infix operators taken strictly from left to right (no precedence; parentheses
// group), and a fixed library of functions. Values are texts; numbers and Booleans are texts
// read by the tree's typed-value rules.
//
// An expression is itself a tree named "Expression": "Original" (the text), "Parser" (the parse
// tree; its "Value" property holds the result), "Context" (one "Obj" per context object),
// "Variables" (the own variable table) and "Functions" (the function names used).
//
// Nothing here throws for any text or operands. Nesting is bounded: parentheses, unary signs,
// function calls and predicates inside predicates deeper than MaxNesting give the empty value.
#pragma once

#include "core/UnitXmlDoc.h"
#include "xmllang/UnitXmlLocale.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TXmlExpression;

// What the functions need from the program that runs the language.
struct TXmlLanguageServices {
    // "LoadJpeg"(FileName, MaxSide = 0, Encoding = 7): the picture file as JPEG bytes, neither side above MaxSide (0: unchanged);
    // no value when it cannot be loaded; the function gives them in that encoding number (7:
    // base64, as data: addresses take it). Without a loader LoadJpeg gives the empty text.
    std::function<std::optional<std::vector<uint8_t>>(const std::string& FileName, int MaxSide)> LoadJpeg;
    // The regional settings; nullptr means TUserLocale::User().
    const TUserLocale* Locale = nullptr;
};

// An object that tells which node a variable name denotes.
class TXmlContextObject {
public:
    virtual ~TXmlContextObject() = default;
    virtual bool Resolve(const std::string& Name, TXmlDoc*& Node, TXmlExpression& Expression, bool Create) = 0;
};
using TXmlContextList = std::vector<TXmlContextObject*>;

// The variables visible inside path predicates: context objects asked after the candidate node,
// and the services of the language.
struct TXmlVariables {
    TXmlContextList Contexts;
    const TXmlLanguageServices* Services = nullptr;
};

// The context of a path predicate: names are paths from the candidate node (SelectNode).
class TXmlPredicateContext : public TXmlContextObject {
public:
    explicit TXmlPredicateContext(TXmlDoc* ANode = nullptr, const TXmlVariables* AVariables = nullptr)
        : FNode(ANode), FVariables(AVariables) {}
    void SetNode(TXmlDoc* ANode) { FNode = ANode; }
    bool Resolve(const std::string& Name, TXmlDoc*& Node, TXmlExpression& Expression, bool Create) override;

private:
    TXmlDoc* FNode;
    const TXmlVariables* FVariables;
};

class TXmlExpression : public TXmlDoc {
public:
    static constexpr int MaxNesting = 400;

    TXmlExpression();
    void AddContext(TXmlContextObject* AObject);
    void AddContexts(const TXmlContextList& AList);
    void SetServices(const TXmlLanguageServices* AServices) { FServices = AServices; }
    const TXmlLanguageServices* Services() const { return FServices; }

    // Builds the parse tree; always true (malformed text gives a tree that evaluates to something).
    bool Parse(std::string_view AText);
    // Evaluates the parse tree; always true.
    bool Evaluate();
    // The "Value" property node of "Parser".
    TXmlDoc* Result();
    const std::string& ResultText();
    bool ResultBool() { return Result()->GetAsBool(); }

    // The node a name denotes: the context objects in registration order, then the own table
    // (created there when Create, else nullptr).
    TXmlDoc* ResolveVariable(const std::string& AName, bool Create = true);
    TXmlDoc& VariableTable() { return *FVariables; }

    // Parse and evaluate in one go.
    static std::string Eval(std::string_view AText, const TXmlContextList& AContexts = {},
                            const TXmlLanguageServices* AServices = nullptr);

private:
    friend class TXmlExpressionEvaluator;
    TXmlDoc* FOriginal;
    TXmlDoc* FParser;
    TXmlDoc* FContext;
    TXmlDoc* FVariables;
    TXmlDoc* FFunctions;
    TXmlDoc* FResult = nullptr;
    TXmlContextList FContexts;
    const TXmlLanguageServices* FServices = nullptr;
};

namespace UnitXmlExpression {

// Path queries with predicates over a tree. Steps are separated by "\" (a "\" inside a predicate
// belongs to it) and trimmed; "*" or an empty name matches any child, ".." any child and makes the
// whole path be matched again from every child. A last step "." selects the node itself, ".*" its
// properties, ".N" the property at index N and ".name" the property of that name (created).
// Predicates: "[n]" the child at position n among all children, "[a..b]" a range of positions,
// anything else an expression evaluated with the candidate child as context.
// SelectNodes appends every match to AList; true when it appended anything.
bool SelectNodes(TXmlDoc& AFrom, std::string_view APath, TXmlDocList& AList, const TXmlVariables* AVariables = nullptr);
// The first match.
bool SelectNode(TXmlDoc& AFrom, std::string_view APath, TXmlDoc*& ANode, const TXmlVariables* AVariables = nullptr);

}  // namespace UnitXmlExpression
