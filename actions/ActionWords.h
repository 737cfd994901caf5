// Status and failure words of the plugin framework and its actions. They are data: callers
// compare them.
#pragma once

#include <string_view>

namespace ActionWords {
inline constexpr std::string_view OK = "OK";
inline constexpr std::string_view Error = "Error";
inline constexpr std::string_view PluginNotFound = "PluginNotFound";
inline constexpr std::string_view PluginProcError = "PluginProcError";
inline constexpr std::string_view PluginProcInvalidResponse = "PluginProcInvalidResponse";
inline constexpr std::string_view FailedToCallPlugin = "FailedToCallPlugin";
inline constexpr std::string_view FailedToGetPluginResponse = "FailedToGetPluginResponse";
inline constexpr std::string_view WrongPluginResponse = "WrongPluginResponse";
inline constexpr std::string_view VersionNotSupported = "VersionNotSupported";
inline constexpr std::string_view InvalidParams = "InvalidParams";
inline constexpr std::string_view Failed = "Failed";
inline constexpr std::string_view UnsupportedAlgorithm = "UnsupportedAlgorithm";
}  // namespace ActionWords
