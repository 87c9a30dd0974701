#pragma once

#include <QIcon>
#include <QString>

// The feature's bundled files: service icons, symbols, the program's icon and the status item
// image. The resources live in a static library, so they are registered on first use.
namespace KestroResources {

// Registers the resources; cheap after the first call. Every lookup below calls it.
void ensureLoaded();

// Path of a file in the feature's bundle, e.g. ("SpotifyIcon", "svg").
QString bundlePath(const QString& name, const QString& extension);
// Path of one of our symbol drawings ("music.note", "xmark", ...).
QString symbolPath(const QString& name);

QIcon appIcon();
// Monochrome, drawn in black; the status item tints it for the panel it sits in.
QIcon menuBarIcon();

} // namespace KestroResources
