// Shapes: small trees in the ASN.1 vocabulary of UnitAsn1 that a decoded tree is compared
// with before its fields are taken by position. A shape node may carry control properties:
//   "_dummy"         true: matches any node;
//   "_dummymembers"  true: neither properties nor children are compared;
//   "_dummyprops"    true: properties are not compared;
//   "_dummynodes"    true: children are not compared;
//   "_count"         "Ignore" (no count test), "AtLeast", "AtMost"; absent: the same count;
//   "_all"           on a child: stands for every remaining child of the node.
// Other properties of the shape ("Value", "Tag", ...) must exist on the node with the same value.
// The node's children are matched in order against the shape's until the node's run out.
#pragma once

#include "core/UnitXmlDoc.h"

#include <memory>
#include <string_view>
#include <vector>

namespace UnitAsn1Shape {

bool Matches(const TXmlDoc& node, const TXmlDoc& shape);

// The index of the first shape of the list that the node matches; -1 when none does.
int FirstMatch(const TXmlDoc& node, const std::vector<const TXmlDoc*>& shapes);

// A shape from its XML text (the system's XML form), e.g.
// <SEQUENCE _count="AtLeast"><OID Value="1.3.6.1.5.5.7.2.1"/><IA5STRING/></SEQUENCE>.
std::unique_ptr<TXmlDoc> ShapeFromXml(std::string_view xml);

}  // namespace UnitAsn1Shape
