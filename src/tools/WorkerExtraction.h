#pragma once

#include <QString>
#include <QStringList>

// The PSD slim worker travels inside the program as a resource and is written to disk on first use, into the
// first of a few per-version folders that can hold it. A copy found on disk is started only when it is shown to
// be ours; anything else is replaced by a fresh copy or, where that cannot be done safely, passed over.
namespace WorkerExtraction {

inline constexpr char kWorkerFileName[] = "LeanfoldWorker.exe";
inline constexpr char kWorkerResource[] = ":/standalone-helper/LeanfoldWorker.exe";

// "components/<application version>" under, in order: the per-user application-local data folder, the folder
// of the running program, and the private per-user temporary folder (Platform::privateUserDirectory; the shared
// temporary folder itself is never used). A folder that cannot be had is left out.
QStringList candidateFolders();

// What becomes of a copy found at a candidate.
enum class Verdict {
    Trusted, // start it as it is
    Replace, // write a fresh copy over it
    Skip     // neither start nor write anything here
};

// Judges an existing file. Unix: the folder and every folder above it must be changeable by no one but this
// user or root (a root-owned sticky folder such as /tmp is allowed above the first level, since nobody else may
// rename or remove what lies in it), else Skip; the file must then be a regular file (not a symbolic link) of
// this user or root that no one else may write, else Replace. Windows, where this layer reads no ownership: the
// file's SHA-256 must equal the embedded copy's, else Replace.
Verdict judgeExistingWorker(const QString& folder, const QString& target, const QString& resourcePath);

// True when the file holds exactly the bytes of the resource (compared by SHA-256; the worker is small).
bool matchesEmbeddedCopy(const QString& target, const QString& resourcePath);

// True when nobody but this user (or root) can change what lies in folder or the folders above it. Always true
// on Windows, where the candidates are the user's own profile folders and the program folder.
bool folderIsPrivate(const QString& folder);

// Returns the absolute path of a worker fit to be started, writing the resource to the first candidate folder
// that can take it when no trusted copy is there; empty when no candidate worked. Fresh copies are written
// with QSaveFile (all or nothing) and get run permission for the owner (0755).
QString extractWorker(const QStringList& folders, const QString& resourcePath);

// extractWorker(candidateFolders(), kWorkerResource).
QString workerExecutablePath();

} // namespace WorkerExtraction
