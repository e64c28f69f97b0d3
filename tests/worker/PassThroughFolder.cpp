#include "PassThroughFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <sys/stat.h>

PassThroughFolder::PassThroughFolder(bool underTmp)
{
    if (!underTmp) {
        m_path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
        return;
    }
    QByteArray name("/tmp/leanfold-case-XXXXXX");
    if (::mkdtemp(name.data()) == nullptr)
        return;
    m_made = QFile::decodeName(name);
    if (::chmod(name.constData(), 0711) == 0)
        m_path = m_made;
}

PassThroughFolder::~PassThroughFolder()
{
    if (!m_made.isEmpty())
        QDir(m_made).removeRecursively();
}

QString PassThroughFolder::copyIn(const QString& program) const
{
    const QString copy = m_path + QLatin1Char('/') + QFileInfo(program).fileName();
    if (!isValid() || !QFile::copy(program, copy) || ::chmod(QFile::encodeName(copy).constData(), 0755) != 0)
        return {};
    return copy;
}
