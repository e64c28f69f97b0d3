#pragma once

#include <QByteArray>
#include <QString>

// Small PSD files made in the test, so a run over many files needs no corpus: an 8-bit RGB document with raw
// image data and one image resource, 1060, holding an XMP packet whose xmpMM:History has the given number of
// entries (the bytes the worker removes).
namespace PsdFixture {

QByteArray document(int historyEntries, int width = 4, int height = 4, char fill = 0);

// A header followed by an image-resources length that runs past the end of the file.
QByteArray truncated();

bool write(const QString& path, const QByteArray& bytes);
QByteArray read(const QString& path);

} // namespace PsdFixture
