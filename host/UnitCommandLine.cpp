#include "host/UnitCommandLine.h"

namespace UnitCommandLine {

namespace {

std::string UpperCase(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return result;
}

std::string_view WithoutLeadingSwitches(std::string_view name)
{
    while (!name.empty() && (name.front() == '-' || name.front() == '/'))
        name.remove_prefix(1);
    return name;
}

}  // namespace

std::pair<std::string, std::string> ParseArgument(std::string_view argument)
{
    if (argument.starts_with("//")) {
        const std::string_view rest = argument.substr(2);
        if (!rest.empty()) {
            const char d[2] = {rest.front(), '/'};
            const size_t close = rest.find(std::string_view(d, 2), 1);
            if (close != std::string_view::npos)
                return {UpperCase(rest.substr(1, close - 1)), std::string(rest.substr(close + 2))};
        }
        return {UpperCase(rest.empty() ? rest : rest.substr(1)), {}};
    }
    if (argument.starts_with('-') || argument.starts_with('/')) {
        const size_t separator = argument.find_first_of(":=");
        if (separator != std::string_view::npos)
            return {UpperCase(WithoutLeadingSwitches(argument.substr(0, separator))),
                    std::string(argument.substr(separator + 1))};
        return {UpperCase(WithoutLeadingSwitches(argument)), {}};
    }
    return {"Tag", std::string(argument)};
}

void LoadCommandLine(TXmlDoc& tree, const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments) {
        if (argument.empty())
            continue;
        auto [name, value] = ParseArgument(argument);
        // Added under a plain name and renamed: the argument's name is never taken as a path.
        TXmlDoc* child = tree.New("Tag");
        if (!name.empty())
            child->SetName(name);
        child->SetValue(std::move(value));
    }
}

std::string JoinCommandLine(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty())
            line += ' ';
        line += argument;
    }
    return line;
}

}  // namespace UnitCommandLine
