// Result and status words of the crypto folder. They are data: callers compare them.
#pragma once

#include <string_view>

namespace Words {
inline constexpr std::string_view SmallKey = "SmallKey";
inline constexpr std::string_view ContentUnrecognized = "ContentUnrecognized";
inline constexpr std::string_view SignatureUnrecognized = "SignatureUnrecognized";
inline constexpr std::string_view CryptError = "CryptError";
}  // namespace Words
