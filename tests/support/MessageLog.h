#ifndef TUKTEST_MESSAGELOG_H
#define TUKTEST_MESSAGELOG_H

#include <QList>
#include <QMutex>
#include <QStringList>
#include <QtGlobal>

namespace tuktest {

// Records the Qt messages of the given types (all types when none are given) while it exists,
// from any thread, and passes every message on to the handler that was installed before.
// One at a time.
class MessageLog
{
public:
    explicit MessageLog(const QList<QtMsgType>& types = {});
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QStringList messages() const;
    void clear();

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text);

    QList<QtMsgType> m_types;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_messages;
};

} // namespace tuktest

#endif // TUKTEST_MESSAGELOG_H
