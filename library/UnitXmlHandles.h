// The XML handle table behind the handle exports, and the conversion as the exports run it
// (with the library's picture loader for the templates' LoadJpeg).
#pragma once

#include <string>
#include <string_view>

namespace UnitXmlHandles {

// Runs a conversion template over an input text as Transform and TransformXml do: true and the
// output, or false (the caller then takes the empty text).
bool RunConversion(std::string_view InputText, std::string_view TemplateText, std::string& OutputText);

}  // namespace UnitXmlHandles
