#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

// The embedded worker as both platform halves of the extraction (WorkerExtractionUnix.cpp,
// WorkerExtractionWin.cpp) use it: its digest and a fresh copy of it on disk. Internal to tools/.
namespace WorkerExtraction {

// SHA-256 of what is left to read in device; empty when it cannot be read.
QByteArray sha256Of(QIODevice& device);
// SHA-256 of the embedded copy at resourcePath, computed once per process; empty when it cannot be read.
QByteArray embeddedDigest(const QString& resourcePath);
// Writes the resource to target all or nothing (QSaveFile), runnable (0755); a link at target is removed first.
bool writeFreshCopy(const QString& target, const QString& resourcePath);

} // namespace WorkerExtraction
