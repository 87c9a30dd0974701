#pragma once

#include <QHashFunctions>
#include <QString>

// The onboarding's step; the content view picks its page from it.
enum class OnboardingState { needsPermission, waitingForGrant, granted, skipped, musicSelection };

namespace OnboardingStates {

// The case name, as the log shows it.
inline QString name(OnboardingState state) {
    switch (state) {
    case OnboardingState::needsPermission:
        return QStringLiteral("needsPermission");
    case OnboardingState::waitingForGrant:
        return QStringLiteral("waitingForGrant");
    case OnboardingState::granted:
        return QStringLiteral("granted");
    case OnboardingState::skipped:
        return QStringLiteral("skipped");
    case OnboardingState::musicSelection:
        return QStringLiteral("musicSelection");
    }
    return {};
}

} // namespace OnboardingStates

inline size_t qHash(OnboardingState state, size_t seed = 0) {
    return qHash(int(state), seed);
}
