#include "TestRegistry.h"

#include <QMetaObject>
#include <QSet>
#include <QTest>
#include <cstdio>
#include <vector>

namespace zdb::test {

namespace {
std::vector<TestFactory> &registry()
{
    static std::vector<TestFactory> factories;
    return factories;
}

// QtTest options that take the next argument as their value.
bool takesValue(const QByteArray &option)
{
    static const QSet<QByteArray> options = {"-o",           "-eventdelay",  "-keydelay",     "-mousedelay",
                                             "-maxwarnings", "-perfcounter", "-minimumvalue", "-minimumtotal",
                                             "-iterations",  "-median",      "-seed",         "-repeat"};
    return options.contains(option);
}

bool hasTestFunction(const QObject &test, const QByteArray &nameAndTag)
{
    const qsizetype colon = nameAndTag.indexOf(':');
    const QByteArray function = colon < 0 ? nameAndTag : nameAndTag.left(colon);
    const int index = test.metaObject()->indexOfMethod(QMetaObject::normalizedSignature(function + "()"));
    return index >= 0 && test.metaObject()->method(index).methodType() == QMetaMethod::Slot;
}
} // namespace

bool registerTest(TestFactory factory)
{
    registry().push_back(std::move(factory));
    return true;
}

int runRegisteredTests(int argc, char **argv)
{
    // Every class sees the options; a test function named on the command line
    // goes only to the classes that have it, so that QtTest does not fail the
    // others for a function they lack.
    std::vector<char *> options;
    std::vector<char *> functions;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg.startsWith('-')) {
            options.push_back(argv[i]);
            if (takesValue(arg) && i + 1 < argc)
                options.push_back(argv[++i]);
        } else {
            functions.push_back(argv[i]);
        }
    }

    int failed = 0;
    std::vector<bool> found(functions.size(), false);
    for (const auto &make : registry()) {
        auto test = make();
        std::vector<char *> args{argv[0]};
        args.insert(args.end(), options.begin(), options.end());
        bool named = false;
        for (std::size_t f = 0; f < functions.size(); ++f) {
            if (hasTestFunction(*test, functions[f])) {
                args.push_back(functions[f]);
                found[f] = true;
                named = true;
            }
        }
        if (!functions.empty() && !named)
            continue;
        failed += QTest::qExec(test.get(), int(args.size()), args.data());
    }
    for (std::size_t f = 0; f < functions.size(); ++f) {
        if (!found[f]) {
            std::fprintf(stderr, "Unknown test function: '%s'\n", functions[f]);
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}

} // namespace zdb::test

int main(int argc, char **argv)
{
    const auto app = zdb::test::makeApplication(argc, argv);
    return zdb::test::runRegisteredTests(argc, argv);
}
