#pragma once

#include <QString>

// The system journal (or syslog where no journal runs). Messages are kept private:
// the journal records that something was logged, never the text itself.
class SystemLog {
public:
    SystemLog(QByteArray identifier, QByteArray category);

    static SystemLog& shared();

    void info(const QString& message);

    static constexpr const char* privateText = "<private>";

private:
    QByteArray m_identifier;
    QByteArray m_category;
    bool m_hasJournal = false;
};
