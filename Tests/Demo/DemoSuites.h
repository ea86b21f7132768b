// The demo suites' registry: each test class registers itself, and the test
// program runs one class by name or all of them.
#pragma once

#include <QObject>

#include <memory>

namespace QuorvelDemoTest {

using TSuiteFactory = std::unique_ptr<QObject> (*)();
bool RegisterSuite(const char* Name, TSuiteFactory Factory);

} // namespace QuorvelDemoTest

#define QUORVEL_DEMO_SUITE(Class)                                                                            \
    static const bool Class##Registered = QuorvelDemoTest::RegisterSuite(                                    \
        #Class, []() -> std::unique_ptr<QObject> { return std::make_unique<Class>(); })
