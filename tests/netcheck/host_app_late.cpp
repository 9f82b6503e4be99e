// Host: links the library but builds its application object only 300 ms into main(), long after
// the library (and its probe thread) started.
#include "HostSupport.h"

#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include <chrono>
#include <thread>

int main(int argc, char** argv)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    QCoreApplication app(argc, argv);
    QElapsedTimer sinceApp;
    sinceApp.start();
    return tukhost::runMonitorLoop(TUKNetWorkCheck::getInstance(),
                                   tukhost::hasFlag(argc, argv, "--expect-break"), sinceApp);
}
