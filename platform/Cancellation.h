#pragma once

#include <QObject>

#include <memory>
#include <utility>

// Emits cancelled() once, the first time its token is cancelled.
class CancellationNotifier : public QObject {
    Q_OBJECT
public:
    bool isCancelled() const { return m_cancelled; }

signals:
    void cancelled();

private:
    friend class CancellationToken;
    void cancel();

    bool m_cancelled = false;
};

// A shared stop flag for work that spans several event-loop turns. Copies share one flag: the
// owner of the work keeps a copy and cancels it, the work listens on its own copy. A token made
// by the default constructor is simply never cancelled unless someone holding it does so.
class CancellationToken {
public:
    CancellationToken() : m_notifier(std::make_shared<CancellationNotifier>()) {}

    // Idempotent; listeners hear of the first call only.
    void cancel() const;
    bool isCancelled() const { return m_notifier->isCancelled(); }

    // Calls handler when the token is cancelled, for as long as context lives.
    template <typename Handler>
    QMetaObject::Connection onCancelled(const QObject* context, Handler&& handler,
                                        Qt::ConnectionType type = Qt::AutoConnection) const {
        return QObject::connect(m_notifier.get(), &CancellationNotifier::cancelled, context,
                                std::forward<Handler>(handler), type);
    }

    const CancellationNotifier* notifier() const { return m_notifier.get(); }

private:
    std::shared_ptr<CancellationNotifier> m_notifier;
};
