// The window's two header dialogs: settings (the interface language, applied by restarting) and help.
#include "window/StandaloneToolWindow.h"

#include "i18n/Language.h"
#include "i18n/Localization.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QProcess>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace {

const QString kDefaultLanguage = QStringLiteral("zh_CN");

struct LanguageChoice {
    const char16_t* code;
    const char16_t* name;
};

// Each language shown by its own name, in the fixed order of every language list of the program.
constexpr LanguageChoice kLanguages[] = {
    {u"zh_CN", u"简体中文"}, {u"zh_TW", u"繁體中文"}, {u"ja_JP", u"日本語"}, {u"ko_KR", u"한국어"}, {u"en_US", u"English"},
};

QString introductionSentence(IntegratedTools::Tool tool)
{
    switch (tool) {
    case IntegratedTools::ImageResize:
        return QObject::tr("图片尺寸调整：添加图片或文件夹，选择尺寸规则、补边颜色和输出位置，然后开始处理。");
    case IntegratedTools::PsdSlim:
        return QObject::tr("PSD&PSB 安全瘦身：添加文件或文件夹后开始处理。大量文件会自动分批，超出建议范围时会先提示。");
    case IntegratedTools::LayerExport:
        return QObject::tr("PSD 图层批量导出：添加 PSD 或 PSB 文件，设置导出位置与透明像素裁切规则，然后开始导出。");
    }
    return QString();
}

// "general/language" with the default "zh_CN".
QString storedLanguage()
{
    const QVariant stored = storedLanguageSetting();
    return stored.isValid() ? stored.toString() : kDefaultLanguage;
}

QString helpLanguage()
{
    const QString stored = storedLanguage();
    for (const char16_t* code : {u"zh_TW", u"ja_JP", u"ko_KR", u"en_US"}) {
        if (stored == QStringView(code))
            return stored;
    }
    return kDefaultLanguage;
}

} // namespace

void StandaloneToolWindow::setRestartHandler(std::function<void()> handler)
{
    restartHandler = std::move(handler);
}

QString StandaloneToolWindow::helpDocument(IntegratedTools::Tool tool)
{
    QString content;
    QFile page(QStringLiteral(":/docs/help-rich-%1.html").arg(helpLanguage()));
    if (page.open(QIODevice::ReadOnly | QIODevice::Text))
        content = QString::fromUtf8(page.readAll());
    return QStringLiteral("<h1>%1</h1><p>%2</p><hr/>")
               .arg(IntegratedTools::displayName(tool).toHtmlEscaped(), introductionSentence(tool).toHtmlEscaped())
           + content;
}

void StandaloneToolWindow::showSettingsDialog()
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("standaloneSettingsDialog"));
    dialog.setWindowTitle(localizedText(QStringLiteral("工具设置")));
    dialog.setMinimumWidth(430);

    auto* layout = new QVBoxLayout(&dialog);
    auto* heading = new QLabel(IntegratedTools::displayName(tool), &dialog);
    heading->setStyleSheet(QStringLiteral("font-size:14pt; font-weight:700; color:#172b4d;"));
    layout->addWidget(heading);

    auto* form = new QFormLayout;
    auto* languages = new QComboBox(&dialog);
    languages->setObjectName(QStringLiteral("standaloneLanguageList"));
    for (const LanguageChoice& language : kLanguages)
        languages->addItem(QString::fromUtf16(language.name), QString::fromUtf16(language.code));
    form->addRow(localizedText(QStringLiteral("界面语言：")), languages);
    layout->addLayout(form);
    layout->addStretch(1);

    auto* version = new QLabel(
        localizedText(QStringLiteral("版本号：%1")).arg(QCoreApplication::applicationVersion()), &dialog);
    version->setStyleSheet(QStringLiteral("color:#6b7788; padding-top:12px;"));
    layout->addWidget(version);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);

    const QString stored = storedLanguage();
    const int found = languages->findData(stored, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    languages->setCurrentIndex(found >= 0 ? found : 0);

    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString chosen = languages->currentData().toString();
    if (chosen == stored)
        return;
    storeLanguageSetting(chosen); // on disk before the new process starts
    if (restartHandler) {
        restartHandler();
        return;
    }
    QProcess::startDetached(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1), QString());
    QCoreApplication::quit();
}

void StandaloneToolWindow::showHelpDialog()
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("standaloneHelpDialog"));
    dialog.setWindowTitle(localizedText(QStringLiteral("帮助 - %1")).arg(IntegratedTools::displayName(tool)));
    dialog.resize(980, 720);

    auto* layout = new QVBoxLayout(&dialog);
    auto* browser = new QTextBrowser(&dialog);
    browser->setHtml(helpDocument(tool));
    layout->addWidget(browser, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);

    dialog.exec();
}
