#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;

// The per-tool, per-user channel through which a later launch hands its paths to the running instance: a local
// socket carrying one length-prefixed message per connection, and an inbox folder of "*.paths" files polled by
// the running instance for when the socket does not answer. Both live in Platform::privateUserDirectory() on
// Unix, so no other user can reach them or plant anything in their place.
namespace InstanceEndpoint {

// The largest payload a receiver accepts (16 MiB; exactly this much is still accepted).
inline constexpr qint64 kMaxPayloadBytes = 0x1000000;

enum class FrameStatus {
    Incomplete, // wait for more bytes
    Invalid,    // the length field is out of range: drop the connection
    Complete    // paths holds the decoded payload (possibly empty)
};

struct Frame {
    FrameStatus status = FrameStatus::Incomplete;
    QStringList paths;
};

// Decodes one message: a signed 32-bit big-endian payload length, then that many bytes of UTF-8 paths joined by
// LF. Bytes after the payload are ignored. Pure: the socket code only buffers and calls this.
Frame parseFrame(QByteArrayView buffer);

// A Linux name may hold a line feed, and joined by LF such a path would reach the receiver as other paths
// (a folder "photos\n/home/u/docs" forwards the user's own docs folder). Such a path is never sent.
bool isSendablePath(const QString& path);
// The paths that can be sent, in order; the others are appended to *leftOut when given.
QStringList sendablePaths(const QStringList& paths, QStringList* leftOut = nullptr);

// The sendable paths joined by LF as UTF-8, no trailing LF: the payload of a message and the content of an
// inbox file.
QByteArray encodePaths(const QStringList& paths);
// The reverse: split at LF, empty parts dropped (a CR before an LF stays part of its path), and an entry that
// names the same path as an earlier one (also "/a/" after "/a") dropped.
QStringList decodePaths(QByteArrayView payload);

// Length field plus payload; empty when the payload is larger than a receiver accepts.
QByteArray buildFrame(const QStringList& paths);

// The user part of the server name: the login name trimmed and lower-cased, "default-user" when empty.
QString userKey();

// What QLocalServer listens on and QLocalSocket connects to. Unix: a full path inside the private per-user
// folder. Windows: a pipe name, which the system keeps per user through QLocalServer::UserAccessOption.
// Empty when no private folder can be had.
QString toolServerName(const QString& toolId);

// The inbox folder of the tool (not created here). Empty when no private folder can be had.
QString toolInboxDirectory(const QString& toolId);

// Sender side. Nothing to send (no sendable paths) is success at once; otherwise up to 30 connection attempts.
// Success only once the receiver acknowledged the message with one byte after decoding it.
// A payload larger than a receiver accepts fails at once instead of being sent and silently dropped.
bool forwardPaths(const QString& serverName, const QStringList& paths);

// True when something listens on serverName and accepts a connection: a live owner, not a stale socket file.
bool endpointAnswers(const QString& serverName, int timeoutMs = 250);

// Writes the paths as one new inbox file (committed whole or not at all). False when there is nothing to write,
// the folder cannot be created or is not trusted, or the write fails.
bool writeInboxFile(const QString& folder, const QStringList& paths);

// Receives the decoded paths on the running instance (the window queues them and comes to the front).
using PathSink = std::function<void(const QStringList&)>;

// Receiver side, per readable server-side socket: buffers in the socket's "lumoraPayload" property until a whole
// message is there, acknowledges it with one byte, hands a non-empty path list to the sink once, and ends the
// connection.
void consumeForwardedPayload(QLocalSocket* socket, const PathSink& sink);

// Accepts every pending connection of server and wires it to consumeForwardedPayload. A connection that sends
// nothing for 5 s or has no whole message after 30 s is ended; beyond 8 open connections a new one is ended at
// once (its sender falls back to the inbox).
void acceptPendingConnections(QLocalServer* server, const PathSink& sink);

// Unix: the folder is a real folder (no link), owned by this user and writable by nobody else.
// Windows: the folder exists (it lies in the user's own profile).
bool isTrustedInboxFolder(const QString& folder);

// One poll of the inbox: every "*.paths" file in name order that is a regular file of this user and yields
// paths goes to the sink and is deleted. A file of this user that yields no path or is larger than a message
// may be is renamed with ".ignored" appended, so it is not read again; anything else stays. An untrusted or
// missing folder yields nothing.
// Returns the number of files consumed.
int drainInbox(const QString& folder, const PathSink& sink);

} // namespace InstanceEndpoint
