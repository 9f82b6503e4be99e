// Prints "open" or "closed": what the connectivity gate of this machine's backend says.
#include "platform/TUKConnectivity_p.h"

#include <cstdio>

int main()
{
    tuk::platform::ConnectivityOptions options;
    options.networkManagerBus = "unix:path=/nonexistent/tuk-netcheck-gate";
    const auto backend = tuk::platform::createConnectivityBackend(options);
    std::printf("%s\n", backend->anyConnectionUp() ? "open" : "closed");
    return 0;
}
