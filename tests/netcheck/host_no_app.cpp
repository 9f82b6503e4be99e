// Host: links the library and never builds an application object. The monitor must stay at its
// initial verdict and the process must end cleanly.
#include <TUKCloudUtils/TUKNetWorkCheck.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main()
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    // Give the probe thread time to be up and waiting before the process ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!monitor->isConnect()) {
        std::fprintf(stderr, "a verdict arrived without an application object\n");
        return 5;
    }
    return 0;
}
