// The hosts of the start-up and exit checks (tst_netcheck). Each needs the first verdict, "off
// line" in our setups, within 4.5 s (less than the probe period); exit status 0 when all is well.
//   netcheck_host at-once|late|never   linked to the library: builds its application at once,
//       300 ms into main() (the probe thread long waiting for it) or never (no verdict then); the
//       probe thread must be gone with the application.
//   netcheck_host_dlopen   loads the library with dlopen() once its application exists, opens a
//       fault guard, and unloads the library before the application ends: the library must
//       really go, and put back the signal handlers it found, unless one was put in front of
//       its own since.
#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <thread>

static int firstVerdict(QCoreApplication& app, QObject* monitor)
{
    QObject::connect(monitor, SIGNAL(sigNetWorkBreak()), &app, SLOT(quit()));
    QTimer::singleShot(4500, &app, [] { QCoreApplication::exit(3); });
    return app.exec();
}

#ifdef TUK_LIBRARY_FILE
static void hostHandler(int) {}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGSEGV, hostHandler);
    std::signal(SIGBUS, hostHandler);
    void* library = dlopen(TUK_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return std::fprintf(stderr, "%s\n", dlerror()), 2;
    // libdbus never frees its process-wide state: unloading it with the library would orphan
    // that memory. It stays, as in any desktop application.
    dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_NOLOAD);
    auto monitor =
        reinterpret_cast<QObject* (*)()>(dlsym(library, "_ZN15TUKNetWorkCheck11getInstanceEv"));
    // TUKThread::stopRuning(), which guards its work, on a plain QThread (no member is added).
    auto stopRuning =
        reinterpret_cast<void (*)(QThread*)>(dlsym(library, "_ZN9TUKThread10stopRuningEv"));
    const int status = firstVerdict(app, monitor());
    QThread notRunning;
    stopRuning(&notRunning);
    std::signal(SIGBUS, SIG_IGN); // in front of the library's: it stays
    if (dlclose(library) != 0 || dlopen(TUK_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD))
        return 4;
    const bool restored = std::signal(SIGSEGV, SIG_DFL) == hostHandler; // the one found
    return status ? status : restored && std::signal(SIGBUS, SIG_DFL) == SIG_IGN ? 0 : 5;
}
#else
#include <TUKCloudUtils/TUKNetWorkCheck.h>

int main(int argc, char** argv)
{
    TUKNetWorkCheck* monitor = TUKNetWorkCheck::getInstance();
    if (argc < 2 || !std::strcmp(argv[1], "never")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the probe thread waits
        return monitor->isConnect() ? 0 : 5;
    }
    if (!std::strcmp(argv[1], "late"))
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int status = [&] {
        QCoreApplication app(argc, argv);
        return firstVerdict(app, monitor);
    }();
    const QThread* probe = monitor->findChild<QThread*>();
    return status ? status : !probe || probe->isRunning() ? 4 : monitor->isConnect() ? 6 : 0;
}
#endif
