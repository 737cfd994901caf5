// Walks over a whole tree without recursion (trees can be a million levels deep).
#pragma once

#include "core/UnitXmlDoc.h"

#include <cstddef>
#include <vector>

namespace UnitXmlWalk {

// The nodes of the tree under ARoot, ARoot included.
inline size_t CountNodes(const TXmlDoc& ARoot)
{
    size_t count = 0;
    std::vector<const TXmlDoc*> pending{&ARoot};
    while (!pending.empty()) {
        const TXmlDoc* node = pending.back();
        pending.pop_back();
        ++count;
        for (size_t i = 0; i < static_cast<size_t>(node->GetNodeCount()); ++i)
            pending.push_back(node->ChildAt(i));
    }
    return count;
}

}  // namespace UnitXmlWalk
