#ifndef TUKCLOUDUTILS_TUKTHREAD_H
#define TUKCLOUDUTILS_TUKTHREAD_H

#include <TUKCloudUtils/tukcloudutils_export.h>

#include <QString>
#include <QThread>

/*!
 * \class TUKThread
 * \brief Abstract worker thread whose work cannot take the process down.
 *
 * Derive from it, implement doWork() and start() the thread as any QThread:
 *
 * \code
 * class Indexer : public TUKThread
 * {
 *     Q_OBJECT
 * protected:
 *     void doWork() override { ... }
 * };
 * \endcode
 *
 * run() first calls setThreadName(), which names the object after its most derived class that
 * carries Q_OBJECT (a name set before start() is replaced), then doWork(). Both run under a
 * guard: when either crashes, the crash ends the work, the crash report is made with the message
 * "线程执行崩溃" ("thread execution crashed"), and the thread finishes normally: finished() is
 * emitted and the process goes on. The work is not resumed.
 *
 * What the guard traps on Linux:
 * - every C++ exception that leaves setThreadName() or doWork();
 * - the hardware faults the processor raises on this thread while they run: SIGSEGV (invalid
 *   memory access, stack overflow included), SIGBUS, SIGFPE (integer division by zero) and
 *   SIGILL. Whenever a guard opens, the library makes sure its own process-wide handler for
 *   these four signals is the one installed, putting it back in front if something (a crash
 *   reporter, a test framework) installed another since; it passes everything it does not trap
 *   on to that handler (or to the one before it, or to the default action), so a fault on any
 *   other thread, or one of these signals sent with kill() or raise(), still ends the process
 *   exactly as without the library, and a crash reporter still sees it. The handlers behind
 *   it are put back when the library unloads.
 *
 * Not trapped: std::terminate() and abort() (an exception leaving a noexcept function inside
 * the work, for instance), exit(), and signals other than the four above.
 *
 * \warning What a trapped hardware fault leaves behind: the work is abandoned at the faulting
 * instruction and no destructor between there and run() runs. Memory the work allocated leaks,
 * files and sockets it opened stay open, and every lock it held stays locked: a mutex locked by
 * the work, but also a lock inside a library the fault hit (the memory allocator, for one), so a
 * later call that needs that lock may hang. Objects the work was changing may be half-changed.
 * Treat everything the work touched as lost. (A C++ exception unwinds normally: destructors run.)
 * A fault in a slot called from an event loop that doWork() runs abandons that loop in the middle
 * of dispatching: the loop leaks, and GLib reports the half-finished dispatch
 * ("g_source_unref_internal: assertion 'source != NULL' failed") when the thread ends. Other
 * threads and later event loops are not affected.
 *
 * On Windows the guard is a structured exception frame around the work: every structured
 * exception raised on the guarded thread (access violation, divide by zero, illegal instruction,
 * stack overflow, whose guard page is put back) ends the work, as do C++ exceptions, and the
 * thread finishes as above; what a trapped fault leaves behind is the same.
 *
 * Stopping: stopRuning() terminates a running thread with QThread::terminate() and waits for it
 * without a time limit; the destructor calls it. On Linux termination is thread cancellation:
 * it takes effect at the thread's next cancellation point (a blocking system call, a sleep, a
 * wait on a condition), unwinds the thread's stack with destructors running, and is never
 * mistaken for a crash. A doWork() that computes without reaching a cancellation point is not
 * interrupted: the termination takes effect as soon as it returns (run() acts on it there, before
 * QThread's own clean-up), and stopRuning() waits until then. The destructor runs after
 * those of subclasses: a subclass whose doWork() uses its own members should call stopRuning()
 * in its own destructor.
 *
 * Crash reports: the library sends them nowhere. The private uploadErrorInfo() works out the
 * thread's name (objectName(), or the class name when it is empty) and writes one debug line
 * "<name>: <message>" to the logging category "tukcloudutils.thread", which is off unless the
 * host enables it (QT_LOGGING_RULES="tukcloudutils.thread.debug=true", or
 * QLoggingCategory::setFilterRules()). The line is written on the crashed thread for
 * "线程执行崩溃" and on the stopping thread for "线程终止崩溃" ("thread termination crashed").
 *
 * The two messages are built when the library is loaded. On Windows they are decoded from GBK
 * bytes with the local 8-bit codec; on Linux, where that codec follows the locale (usually
 * UTF-8), they are decoded from UTF-8 bytes, so they read correctly whatever the locale.
 *
 * The class adds no lock and no data member to QThread.
 */
class TUKCLOUDUTILS_EXPORT TUKThread : public QThread
{
    Q_OBJECT

public:
    /*! Constructs the thread with \a parent; it does not start it. */
    explicit TUKThread(QObject* parent = nullptr);

    /*! Calls stopRuning(); lets no exception escape. */
    ~TUKThread() override;

    /*!
     * Terminates the thread if it is running and waits for it without a time limit, under the
     * same kind of guard as run(); a crash while stopping makes the crash report with
     * "线程终止崩溃" and returns. A thread that is not running is left alone. Call it from another
     * thread, never from the work itself.
     */
    void stopRuning();

protected:
    /*! Runs setThreadName() and doWork() under the guard; see the class description. */
    void run() override;

    /*! The subclass's work; runs on the new thread. */
    virtual void doWork() = 0;

    /*!
     * Sets the object name to the class name of the most derived class carrying Q_OBJECT.
     * Runs on the new thread, under the guard, before doWork(). Override to choose another name.
     */
    virtual void setThreadName();

private:
    void uploadErrorInfo(const QString& info);
};

#endif // TUKCLOUDUTILS_TUKTHREAD_H
