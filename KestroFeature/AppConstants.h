#pragma once

// Shared timings (seconds) and sizes (device-independent pixels).
namespace AppConstants {

inline constexpr double clipboardPollInterval = 0.5;
inline constexpr double clipboardReadTimeout = 5.0;
inline constexpr double requestTimeout = 15.0;

inline constexpr double toastWidthWithPreview = 420;
inline constexpr double toastWidthCompact = 470;
inline constexpr double toastHeightCompact = 72;
inline constexpr double toastHeightWithPreview = 151;
inline constexpr double toastCornerRadius = 12;
inline constexpr double albumArtCornerRadius = 6;
inline constexpr double toastScreenMargin = 16;
inline constexpr double albumArtSize = 50;
inline constexpr double songRowIconSize = 32;
inline constexpr double toastButtonSize = 28;
inline constexpr double toastShadowPadding = 16;

inline constexpr double onboardingWidth = 660;
inline constexpr double onboardingHeight = 480;
inline constexpr double onboardingCornerRadius = 16;
inline constexpr double onboardingInterval = 0.5;
inline constexpr double onboardingDelay = 1.5;

inline constexpr double tooltipWidth = 300;
inline constexpr double tooltipCornerRadius = 10;
inline constexpr double tooltipArrowWidth = 16;
inline constexpr double tooltipArrowHeight = 10;

} // namespace AppConstants
