#include "TestPlatform.h"
#include "TestRegistry.h"

#include <QApplication>

namespace zdb::test {

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    auto app = std::make_unique<QApplication>(argc, argv);
    setUpApplication();
    return app;
}

} // namespace zdb::test
