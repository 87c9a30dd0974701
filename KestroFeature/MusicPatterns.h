#pragma once

#include "Platform.h"

#include <QRegularExpression>
#include <QString>

// One track-link pattern per service.
namespace MusicPatterns {

extern const QString spotify;
extern const QString appleMusic;
extern const QString youtubeMusic;
extern const QString yandexMusic;
extern const QString tidal;
extern const QString soundcloud;

const QString& pattern(Platform platform);
// The compiled pattern, built once per process (\s is Unicode white space).
const QRegularExpression& regex(Platform platform);

} // namespace MusicPatterns
