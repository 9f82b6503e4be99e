// Host: links the library and builds its application object first thing in main().
#include "HostSupport.h"

#include <TUKCloudUtils/TUKNetWorkCheck.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QElapsedTimer sinceApp;
    sinceApp.start();
    return tukhost::runMonitorLoop(TUKNetWorkCheck::getInstance(),
                                   tukhost::hasFlag(argc, argv, "--expect-break"), sinceApp);
}
