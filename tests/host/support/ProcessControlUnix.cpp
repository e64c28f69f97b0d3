#include "support/ProcessControl.h"

#include <QFileInfo>

#include <cerrno>
#include <csignal>

namespace ProcessControl {

bool isGone(qint64 pid)
{
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

bool kill(qint64 pid)
{
    return ::kill(pid_t(pid), SIGKILL) == 0;
}

bool pause(qint64 pid)
{
    return ::kill(pid_t(pid), SIGSTOP) == 0;
}

bool resume(qint64 pid)
{
    return ::kill(pid_t(pid), SIGCONT) == 0;
}

QString executableOf(qint64 pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
}

} // namespace ProcessControl
