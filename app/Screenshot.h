// Pictures of the main window in a scripted state, rendered off screen.
#pragma once

#include <QString>
#include <QStringList>

// Scenes: empty, probed, running, done, about, menu. Returns the exit status (0 written).
// Uses default settings, a private output folder and never the stored settings.
int RunScreenshot(const QString& outPng, const QString& scene, int language, const QStringList& files);
