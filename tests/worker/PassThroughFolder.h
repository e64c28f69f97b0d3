#pragma once

#include <QString>

// Where a worker test sets up a case. Beside the test's binary; where the worker may run as another user
// (nobody), who may reach neither that nor the test's home (a checkout under /root), a folder under /tmp that mkdtemp
// makes private (0700) in the creating call, owned by the caller (root) and then opened for passing through only
// (0711): the other user reaches what is put in it by name, and no one but its owner can add or change anything.
// That folder is removed with everything in it when the object goes.
class PassThroughFolder
{
public:
    explicit PassThroughFolder(bool underTmp);
    ~PassThroughFolder();
    PassThroughFolder(const PassThroughFolder&) = delete;
    PassThroughFolder& operator=(const PassThroughFolder&) = delete;

    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

    // A copy of program in this folder that anyone may run and only its owner change; empty when it cannot be made.
    QString copyIn(const QString& program) const;

private:
    QString m_path;
    QString m_made; // the folder under /tmp, removed at the end
};
