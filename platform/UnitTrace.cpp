#include "platform/UnitTrace.h"

#include <utility>

namespace UnitTrace {

namespace {
THook& CurrentHook()
{
    static THook hook;
    return hook;
}
}  // namespace

THook SetHook(THook hook)
{
    return std::exchange(CurrentHook(), std::move(hook));
}

void Trace(std::string_view line) noexcept
{
    try {
        if (auto& hook = CurrentHook())
            hook(line);
    } catch (...) {
        // A failing hook must not take the caller down with it.
    }
}

}  // namespace UnitTrace
