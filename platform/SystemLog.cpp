#include "SystemLog.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

SystemLog::SystemLog(QByteArray identifier, QByteArray category)
    : m_identifier(std::move(identifier)), m_category(std::move(category)) {
    // Without a running journal sd_journal_send drops messages silently.
    m_hasJournal = ::access("/run/systemd/journal/socket", W_OK) == 0;
    if (!m_hasJournal) {
        // No LOG_CONS: without /dev/log a message must not land on the console.
        ::openlog(m_identifier.constData(), LOG_PID, LOG_USER);
    }
}

SystemLog& SystemLog::shared() {
    static SystemLog instance(ONDARI_APP_ID, "debug");
    return instance;
}

void SystemLog::info(const QString& /*message*/) {
    if (m_hasJournal) {
        sd_journal_send("MESSAGE=%s", privateText, "PRIORITY=%i", LOG_INFO, "SYSLOG_IDENTIFIER=%s",
                        m_identifier.constData(), "CATEGORY=%s", m_category.constData(), nullptr);
    } else {
        ::syslog(LOG_INFO, "%s", privateText);
    }
}
