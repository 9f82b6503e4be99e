#include "MessageLog.h"

#include <QMutexLocker>

namespace tuktest {

namespace {
MessageLog* g_active = nullptr;
}

MessageLog::MessageLog(const QList<QtMsgType>& types) : m_types(types)
{
    Q_ASSERT(!g_active);
    g_active = this;
    m_previous = qInstallMessageHandler(&MessageLog::handle);
}

MessageLog::~MessageLog()
{
    qInstallMessageHandler(m_previous);
    g_active = nullptr;
}

QStringList MessageLog::messages() const
{
    QMutexLocker lock(&m_mutex);
    return m_messages;
}

void MessageLog::clear()
{
    QMutexLocker lock(&m_mutex);
    m_messages.clear();
}

void MessageLog::handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    MessageLog* self = g_active;
    if (!self)
        return;
    if (self->m_types.isEmpty() || self->m_types.contains(type)) {
        QMutexLocker lock(&self->m_mutex);
        self->m_messages << text;
    }
    if (self->m_previous)
        self->m_previous(type, context, text);
}

} // namespace tuktest
