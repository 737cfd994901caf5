#include "platform/UnitTrace.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

TEST(Trace, HookReceivesLinesAndThrowingHookIsContained)
{
    std::vector<std::string> lines;
    auto previous = UnitTrace::SetHook([&](std::string_view l) { lines.emplace_back(l); });
    UnitTrace::Trace("one");
    UnitTrace::Trace("two");
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));

    UnitTrace::SetHook([](std::string_view) { throw std::runtime_error("hook failed"); });
    EXPECT_NO_THROW(UnitTrace::Trace("three"));

    UnitTrace::SetHook({});
    EXPECT_NO_THROW(UnitTrace::Trace("discarded"));
    UnitTrace::SetHook(std::move(previous));
}
