// Host: builds its application object, then loads the library with dlopen(), waits for the
// monitor, and unloads the library again before the application ends. Does not link the
// library; it reaches getInstance() by its symbol name.
#include "HostSupport.h"

#include <dlfcn.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QElapsedTimer sinceApp;
    sinceApp.start();

    void* library = dlopen(TUK_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    // libdbus never frees its process-wide state (nobody calls dbus_shutdown()), so unloading it
    // together with the library would orphan that memory. Keep it loaded, as any desktop Qt
    // application does anyway; the library itself and Qt's D-Bus module still go.
    if (library)
        dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_NOLOAD);
    if (!library) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    using GetInstance = QObject* (*)();
    auto getInstance =
        reinterpret_cast<GetInstance>(dlsym(library, "_ZN15TUKNetWorkCheck11getInstanceEv"));
    if (!getInstance) {
        std::fprintf(stderr, "dlsym: %s\n", dlerror());
        return 2;
    }
    const int rc = tukhost::runMonitorLoop(
        getInstance(), tukhost::hasFlag(argc, argv, "--expect-break"), sinceApp);
    if (dlclose(library) != 0) {
        std::fprintf(stderr, "dlclose: %s\n", dlerror());
        return 2;
    }
    if (dlopen(TUK_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD)) {
        std::fprintf(stderr, "the library is still loaded after dlclose()\n");
        return 4;
    }
    // The application lives on without the library: run its loop a little longer.
    QEventLoop loop;
    QTimer::singleShot(50, &loop, SLOT(quit()));
    loop.exec();
    return rc;
}
