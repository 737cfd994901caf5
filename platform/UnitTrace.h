// The trace hook: both deliverables hand their diagnostic lines here. By default the lines
// are discarded; a program may install its own hook (the host does, when asked to keep a
// trace file). Lines never carry secrets.
#pragma once

#include <functional>
#include <string_view>

namespace UnitTrace {

using THook = std::function<void(std::string_view line)>;

// Installs the hook and returns the previous one; an empty hook discards.
THook SetHook(THook hook);

// Hands one line to the hook. Never throws.
void Trace(std::string_view line) noexcept;

}  // namespace UnitTrace
