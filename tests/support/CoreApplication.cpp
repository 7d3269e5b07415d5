#include "TestRegistry.h"

namespace zdb::test {

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    return std::make_unique<QCoreApplication>(argc, argv);
}

} // namespace zdb::test
