// The library's resource bag, made at build time by tools/resource_bag from the files under
// resources/ and linked into the library (target resource_bag).
#pragma once

#include <string_view>

namespace UnitResourceBag {

// The "BAG" resource: the number 9 text of the "Resources" tree, ended by CR LF ".".
std::string_view BagResource();

}  // namespace UnitResourceBag
