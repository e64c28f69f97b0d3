#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The PSD slim worker travels inside the program as a resource and is written to disk on first use, into the
// first of a few per-version folders that can hold it. A copy found on disk is started only when it is shown to
// be ours; anything else is replaced by a fresh copy or, where that cannot be done safely, passed over.
namespace WorkerExtraction {

inline constexpr char kWorkerFileName[] = "LeanfoldWorker.exe";
inline constexpr char kWorkerResource[] = ":/standalone-helper/LeanfoldWorker.exe";

// A folder that may hold the worker, and the folder it was made under: the folders between base and folder are
// the program's own (created 0700 and, on Unix, closed again to others when an earlier run left them open);
// base and the folders above it are the user's or the system's and are only judged.
struct Candidate
{
    QString base;
    QString folder;
};

// "components/<application version>" under, in order: the per-user application-local data folder (base: the
// user's data folder it lies in), the folder of the running program, and the private per-user temporary folder
// (Platform::privateUserDirectory; the shared temporary folder itself is never used). A folder that cannot be had
// is left out.
QList<Candidate> candidates();

// The folder of each of candidates().
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
// this user or root that no one else may write, runnable by its owner and holding exactly the embedded bytes,
// else Replace. Windows, where this layer reads no ownership: the file's SHA-256 must equal the embedded copy's,
// else Replace.
Verdict judgeExistingWorker(const QString& folder, const QString& target, const QString& resourcePath);

// True when the file holds exactly the bytes of the resource (compared by SHA-256; the resource is hashed once
// per process).
bool matchesEmbeddedCopy(const QString& target, const QString& resourcePath);

// True when nobody but this user (or root) can change what lies in folder or the folders above it. Always true
// on Windows, where the candidates are the user's own profile folders and the program folder.
bool folderIsPrivate(const QString& folder);

// Returns the path to start a worker fit to be started, writing the resource to the first candidate folder that
// can take it when no trusted copy is there; empty when no candidate worked. Fresh copies are written with
// QSaveFile (all or nothing) and get run permission for the owner (0755). On Linux the copy is checked through a
// descriptor that stays open, and the path returned names that descriptor (through a link in a private folder of
// this process, so the worker's folder joined with its file name still names it): what starts is the file that
// was checked, whatever happens to the candidate folder afterwards. Elsewhere it is the checked file's resolved
// path.
QString extractWorker(const QList<Candidate>& candidates, const QString& resourcePath);

// The same with each folder as its own base.
QString extractWorker(const QStringList& folders, const QString& resourcePath);

// Which copy workerExecutablePath() extracts and trusts: kWorkerResource unless a test stands in a worker of its
// own (an empty path restores kWorkerResource). Forgets the digest held for the previous one.
void setWorkerResource(const QString& resourcePath);

// extractWorker(candidates(), the worker resource).
QString workerExecutablePath();

} // namespace WorkerExtraction
