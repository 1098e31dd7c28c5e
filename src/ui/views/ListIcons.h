// The thirteen list icons of the outline and the table, chosen by the engine models' image index.
// Loaded from the resource folder on first use (main thread only: they are pixmaps); a missing or
// unreadable file leaves that index without an icon, and an index outside the table has none.
#pragma once

#include <QIcon>
#include <QString>

// The resource file name of an image index (the engine's ImageIndex), or nullptr for an index that
// has no icon.
const char* listIconResourceName(int index);

// Loads (again) every list icon from dir; until called, the first lookup loads from the program's
// resource folder.
void loadListIcons(const QString& dir);

// The icon for an engine image index; a null icon (and the log line "unknown index: %d") for an
// index without one.
QIcon getImageByIdx(int index);
