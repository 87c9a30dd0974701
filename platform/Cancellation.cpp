#include "Cancellation.h"

void CancellationNotifier::cancel() {
    if (m_cancelled) {
        return;
    }
    m_cancelled = true;
    emit cancelled();
}

void CancellationToken::cancel() const {
    // A listener may drop the last other copy while we emit; keep the notifier alive until done.
    const std::shared_ptr<CancellationNotifier> keep = m_notifier;
    keep->cancel();
}
