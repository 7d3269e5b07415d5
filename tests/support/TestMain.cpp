#include "TestRegistry.h"

#include <QTest>
#include <vector>

namespace zdb::test {

namespace {
std::vector<TestFactory> &registry()
{
    static std::vector<TestFactory> factories;
    return factories;
}
} // namespace

bool registerTest(TestFactory factory)
{
    registry().push_back(std::move(factory));
    return true;
}

int runRegisteredTests(int argc, char **argv)
{
    int failed = 0;
    for (const auto &make : registry()) {
        auto test = make();
        failed += QTest::qExec(test.get(), argc, argv);
    }
    return failed == 0 ? 0 : 1;
}

} // namespace zdb::test

int main(int argc, char **argv)
{
    const auto app = zdb::test::makeApplication(argc, argv);
    return zdb::test::runRegisteredTests(argc, argv);
}
