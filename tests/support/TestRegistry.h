#pragma once

#include <QCoreApplication>
#include <QObject>
#include <functional>
#include <memory>

namespace zdb::test {

using TestFactory = std::function<std::unique_ptr<QObject>()>;
bool registerTest(TestFactory factory);
int runRegisteredTests(int argc, char **argv);
// The application object a test executable runs in: QtCore alone for the
// layers without widgets (CoreApplication.cpp), widgets for the rest
// (WidgetApplication.cpp).
std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv);

} // namespace zdb::test

// Adds a QtTest class to its executable's run.
#define ZDB_TEST(Class)                                                                                                \
    static const bool zdbRegistered##Class =                                                                           \
        ::zdb::test::registerTest([] { return std::unique_ptr<QObject>(std::make_unique<Class>()); })
