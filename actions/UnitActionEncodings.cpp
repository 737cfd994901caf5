#include "actions/UnitActionEncodings.h"

#include "actions/UnitPlugins.h"
#include "crypto/UnitLibraryEncodings.h"

namespace UnitActionEncodings {

const UnitEncoding::TEncodingTable& Table()
{
    static const UnitEncoding::TEncodingTable table([] {
        UnitEncoding::TUpperNumbers upper = UnitLibraryEncodings::Table().Upper();
        upper.Plugin = [](std::string_view request) {
            UnitPlugins::Register();
            return UnitPlugins::RunPluginRequest(request);
        };
        return upper;
    }());
    return table;
}

}  // namespace UnitActionEncodings
