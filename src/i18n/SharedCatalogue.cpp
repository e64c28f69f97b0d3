#include "i18n/Localization.h"

// The shared tables of the product family, reduced to the rows this host reaches plus the few rows that show
// how the tables relate to the tool catalogue (keys in both, a key in both tables). Columns: zh_TW, ja_JP,
// ko_KR, en_US.

const QHash<QString, QStringList>& sharedCatalogueA()
{
    static const QHash<QString, QStringList> table = {
        {QStringLiteral("已选 0 个 PSD / PSB"),
         {QStringLiteral("已選 0 個 PSD / PSB"), QStringLiteral("選択済み PSD / PSB: 0"),
          QStringLiteral("선택한 PSD / PSB 0개"), QStringLiteral("0 PSD / PSB selected")}},
        {QStringLiteral("%1 个文件  |  %2  |  支持：%3"),
         {QStringLiteral("%1 個檔案  |  %2  |  支援：%3"), QStringLiteral("%1 ファイル  |  %2  |  対応：%3"),
          QStringLiteral("파일 %1개  |  %2  |  지원: %3"), QStringLiteral("%1 files  |  %2  |  Supported: %3")}},
        {QStringLiteral("已选 %1 个 PSD / PSB"),
         {QStringLiteral("已選 %1 個 PSD / PSB"), QStringLiteral("選択済み PSD / PSB: %1"),
          QStringLiteral("선택한 PSD / PSB %1개"), QStringLiteral("%1 PSD / PSB selected")}},
        {QStringLiteral("关闭"),
         {QStringLiteral("關閉"), QStringLiteral("閉じる"), QStringLiteral("닫기"), QStringLiteral("Close")}},
        {QStringLiteral("大小"),
         {QStringLiteral("大小"), QStringLiteral("サイズ"), QStringLiteral("크기"), QStringLiteral("Size")}},
        {QStringLiteral("选择"),
         {QStringLiteral("選擇"), QStringLiteral("選択"), QStringLiteral("선택"), QStringLiteral("Select")}},
    };
    return table;
}

const QHash<QString, QStringList>& sharedCatalogueB()
{
    static const QHash<QString, QStringList> table = {
        {QStringLiteral("状态"),
         {QStringLiteral("狀態"), QStringLiteral("状態"), QStringLiteral("상태"), QStringLiteral("Status")}},
        {QStringLiteral("帮助"),
         {QStringLiteral("說明"), QStringLiteral("ヘルプ"), QStringLiteral("도움말"), QStringLiteral("Help")}},
        {QStringLiteral("选择"),
         {QStringLiteral("選取"), QStringLiteral("選ぶ"), QStringLiteral("고르기"), QStringLiteral("Choose")}},
    };
    return table;
}
