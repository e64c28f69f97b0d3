#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// The line protocol a worker writes on its standard output: UTF-8 records ending in a line feed, fields split
// at tabs, the first field naming the kind. Pure functions, so the page only feeds bytes in and acts on lines.
namespace WorkerProtocol {

// Longest line the host keeps waiting for. A worker that writes more without a line feed is misbehaving: the
// line is dropped whole (see takeCompleteLines) so a runaway worker cannot grow the buffer without end.
inline constexpr qsizetype kMaxLineBytes = 1024 * 1024;

// Counts of a DONE line. A missing key, a value that is not a number or text that is not a JSON object gives 0.
struct DoneCounts {
    int exported = 0;
    int skipped = 0;
    int failed = 0;
    qint64 bytesSaved = 0;
    // True only for a JSON object whose exported and failed are present and, like skipped when present, whole
    // numbers from 0 to INT_MAX, and whose bytesSaved, when present, is a whole 64-bit number. Only such counts
    // can close a batch as done; the zeros above are for display.
    bool wellFormed = false;
};

struct WorkerLine {
    enum class Kind { Log, Progress, Item, Done, Error };

    Kind kind = Kind::Log;
    QString text;      // Log, Error, Progress: the trailing fields joined with two spaces
    int current = 0;   // Progress: 0 when not a decimal integer
    int total = 1;     // Progress: 1 when not a decimal integer or below 1
    QString result;    // Item
    QString path;      // Item: trailing fields joined with a tab, forward slashes
    DoneCounts counts; // Done
};

// Removes every complete line (up to and excluding its line feed) from the front of buffer and returns them in
// order; a partial line stays in buffer for the next call. A line longer than kMaxLineBytes is never returned:
// when the partial line outgrows the limit, buffer is reduced to a one-byte marker and everything up to the
// next line feed is thrown away with it.
QList<QByteArray> takeCompleteLines(QByteArray& buffer);

// Trims ASCII white space, decodes UTF-8 and splits at tabs. Returns nothing for an empty line, an unknown kind
// (compared case-sensitively) or too few fields.
std::optional<WorkerLine> parseWorkerLine(QByteArrayView line);

// The counts of a DONE line's JSON text.
DoneCounts parseDoneCounts(QByteArrayView json);

} // namespace WorkerProtocol
