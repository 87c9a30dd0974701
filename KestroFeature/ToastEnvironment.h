#pragma once

class Accessibility;
class ColorScheme;
class ConversionQueue;
class QNetworkAccessManager;
class SettingsManager;

// What the toast's views observe and call, handed down from the controller so that tests can
// build every view on fresh objects.
struct ToastEnvironment {
    ConversionQueue& queue;
    SettingsManager& settings;
    Accessibility& accessibility;
    ColorScheme& colorScheme;
    QNetworkAccessManager& network;
};
