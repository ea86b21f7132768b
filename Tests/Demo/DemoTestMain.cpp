// Runs the demo suites: "QuorvelDemoTests Suite [QTest options]" runs one,
// "QuorvelDemoTests [QTest options]" runs all. Needs a Qt platform; CTest sets
// QT_QPA_PLATFORM=offscreen.

#include "DemoSuites.h"

#include "QuorvelDemoApplication.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace QuorvelDemoTest {

namespace {

std::vector<std::pair<std::string, TSuiteFactory>>& Suites() {
    static std::vector<std::pair<std::string, TSuiteFactory>> List;
    return List;
}

} // namespace

bool RegisterSuite(const char* Name, TSuiteFactory Factory) {
    Suites().emplace_back(Name, Factory);
    return true;
}

} // namespace QuorvelDemoTest

int main(int argc, char* argv[]) {
    QApplication Application(argc, argv);
    InitializeDemoApplication();

    std::string Only;
    std::vector<char*> Args{argv[0]};
    for (int I = 1; I < argc; ++I) {
        if (I == 1 && argv[I][0] != '-')
            Only = argv[I];
        else
            Args.push_back(argv[I]);
    }

    int Failures = 0;
    bool Found = false;
    for (const auto& [Name, Factory] : QuorvelDemoTest::Suites()) {
        if (!Only.empty() && Name != Only)
            continue;
        Found = true;
        const auto Suite = Factory();
        Failures += QTest::qExec(Suite.get(), static_cast<int>(Args.size()), Args.data());
    }
    if (!Found) {
        std::fprintf(stderr, "no demo suite named '%s'\n", Only.c_str());
        return 2;
    }
    return Failures == 0 ? 0 : 1;
}
