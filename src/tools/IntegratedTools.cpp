#include "tools/IntegratedTools.h"

#include "i18n/Localization.h"
#include "tools/WorkerExtraction.h"

#include <QCoreApplication>
#include <QDir>
#include <QObject>

namespace IntegratedTools {

namespace {
bool isKnown(Tool tool)
{
    return tool == ImageResize || tool == PsdSlim || tool == LayerExport;
}
} // namespace

QString toolId(Tool tool)
{
    switch (tool) {
    case ImageResize:
        return QStringLiteral("image-resize");
    case PsdSlim:
        return QStringLiteral("psd-slim");
    case LayerExport:
        return QStringLiteral("layer-export");
    }
    return QString();
}

QString displayName(Tool tool)
{
    switch (tool) {
    case ImageResize:
        return localizedText(QStringLiteral("图片尺寸调整工具"));
    case PsdSlim:
        return localizedText(QStringLiteral("PSD&PSB安全瘦身工具"));
    case LayerExport:
        return localizedText(QStringLiteral("PSD图层批量导出工具"));
    }
    return QString();
}

QString executableName(Tool tool)
{
    switch (tool) {
    case ImageResize:
        return QStringLiteral("Framewell.exe");
    case PsdSlim:
        return QStringLiteral("Leanfold.exe");
    case LayerExport:
        return QStringLiteral("Stratafile.exe");
    }
    return QString();
}

QString iconResource(Tool tool)
{
    switch (tool) {
    case ImageResize:
        return QStringLiteral(":/branding/assets/image-resize-tool-icon.png");
    case PsdSlim:
        return QStringLiteral(":/branding/assets/psd-slim-tool-icon.png");
    case LayerExport:
        return QStringLiteral(":/branding/assets/layer-export-tool-icon.png");
    }
    return QString();
}

QStringList supportedSuffixes(Tool tool)
{
    if (tool == ImageResize) {
        return {QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"), QStringLiteral("bmp"),
                QStringLiteral("gif"), QStringLiteral("tif"), QStringLiteral("tiff")};
    }
    return {QStringLiteral("psd"), QStringLiteral("psb")};
}

QString fileDialogFilter(Tool tool)
{
    // No translator is installed, so tr() leaves the text as written in every language.
    if (tool == ImageResize)
        return QObject::tr("支持的图片 (*.jpg *.jpeg *.png *.bmp *.gif *.tif *.tiff)");
    return QObject::tr("Photoshop 文件 (*.psd *.psb)");
}

QString helperExecutablePath(Tool tool)
{
    if (!isKnown(tool))
        return QString();
    if (tool == PsdSlim) {
        // The PSD slim worker travels inside the program as a resource and is written to disk on first use.
        return WorkerExtraction::workerExecutablePath();
    }
    return QDir(QCoreApplication::applicationDirPath())
        .filePath(QStringLiteral("tools/integrated/") + executableName(tool));
}

} // namespace IntegratedTools
