#include "crypto/UnitAsn1Shape.h"

#include <cstddef>

namespace UnitAsn1Shape {

namespace {

bool Flag(const TXmlDoc& shape, std::string_view name)
{
    const TXmlDoc* property = shape.FindProperty(name);
    return property != nullptr && property->GetAsBool();
}

bool PropertiesAgree(const TXmlDoc& node, const TXmlDoc& shape)
{
    // Properties are read through FindProperty only, so neither tree is changed.
    auto& writable = const_cast<TXmlDoc&>(shape);
    for (int i = 0; i < shape.GetPropertyCount(); ++i) {
        const TXmlDoc* property = writable.GetPropertyByIndex(i);
        const std::string& name = property->GetName();
        if (!name.empty() && name[0] == '_')
            continue;
        const TXmlDoc* own = node.FindProperty(name);
        if (own == nullptr || own->GetValue() != property->GetValue())
            return false;
    }
    return true;
}

bool ChildrenAgree(const TXmlDoc& node, const TXmlDoc& shape)
{
    const size_t have = static_cast<size_t>(node.GetNodeCount());
    const size_t want = static_cast<size_t>(shape.GetNodeCount());
    const std::string_view count = shape.Prop("_count");
    if (count == "AtLeast") {
        if (have < want)
            return false;
    } else if (count == "AtMost") {
        if (have > want)
            return false;
    } else if (count != "Ignore") {
        if (have != want)
            return false;
    }
    size_t s = 0;
    for (size_t n = 0; n < have; ++n) {
        const TXmlDoc* child = shape.ChildAt(s);
        if (child == nullptr)
            return true;  // the shape's children are used up; the node's rest is not looked at
        if (!Matches(*node.ChildAt(n), *child))
            return false;
        if (!Flag(*child, "_all"))
            ++s;
    }
    return true;
}

}  // namespace

bool Matches(const TXmlDoc& node, const TXmlDoc& shape)
{
    if (Flag(shape, "_dummy"))
        return true;
    if (node.GetName() != shape.GetName())
        return false;
    const bool anyMembers = Flag(shape, "_dummymembers");
    if (!anyMembers && !Flag(shape, "_dummyprops") && !PropertiesAgree(node, shape))
        return false;
    if (!anyMembers && !Flag(shape, "_dummynodes") && !ChildrenAgree(node, shape))
        return false;
    return true;
}

int FirstMatch(const TXmlDoc& node, const std::vector<const TXmlDoc*>& shapes)
{
    for (size_t i = 0; i < shapes.size(); ++i)
        if (shapes[i] != nullptr && Matches(node, *shapes[i]))
            return static_cast<int>(i);
    return -1;
}

std::unique_ptr<TXmlDoc> ShapeFromXml(std::string_view xml)
{
    auto shape = std::make_unique<TXmlDoc>();
    shape->SetXML(xml);
    return shape;
}

}  // namespace UnitAsn1Shape
