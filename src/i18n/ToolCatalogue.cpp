#include "i18n/Localization.h"

#include <iterator>

namespace {

// zh_CN (the key), zh_TW, ja_JP, ko_KR, en_US
struct Row {
    const char16_t* text[5];
};

const Row kRows[] = {
    {{u"图片尺寸调整工具", u"圖片尺寸調整工具", u"画像サイズ調整ツール", u"이미지 크기 조정 도구", u"Image Resize Tool"}},
    {{u"PSD&PSB安全瘦身工具", u"PSD&PSB安全瘦身工具", u"PSD&PSB安全スリム化ツール", u"PSD&PSB 안전 최적화 도구",
      u"PSD&PSB Safe Slim Tool"}},
    {{u"PSD图层批量导出工具", u"PSD圖層批次匯出工具", u"PSDレイヤー一括書き出しツール", u"PSD 레이어 일괄 내보내기 도구",
      u"PSD Layer Batch Export Tool"}},
    {{u"工具操作", u"工具操作", u"ツール操作", u"도구 작업", u"Tool actions"}},
    {{u"选择文件", u"選擇檔案", u"ファイルを選択", u"파일 선택", u"Choose files"}},
    {{u"选择多个图片", u"選擇多張圖片", u"画像を選択", u"이미지 선택", u"Choose images"}},
    {{u"选择多个文件夹", u"選擇多個資料夾", u"フォルダーを選択", u"폴더 선택", u"Choose folders"}},
    {{u"清空列表", u"清空清單", u"リストをクリア", u"목록 지우기", u"Clear list"}},
    {{u"返回文件管理", u"返回檔案管理", u"ファイル管理に戻る", u"파일 관리로 돌아가기", u"Back to file manager"}},
    {{u"移除选中项", u"移除選取項目", u"選択項目を削除", u"선택 항목 제거", u"Remove selected"}},
    {{u"文件名", u"檔案名稱", u"ファイル名", u"파일 이름", u"File name"}},
    {{u"所在位置", u"所在位置", u"場所", u"위치", u"Location"}},
    {{u"大小", u"大小", u"サイズ", u"크기", u"Size"}},
    {{u"状态", u"狀態", u"状態", u"상태", u"Status"}},
    {{u"就绪", u"就緒", u"準備完了", u"준비됨", u"Ready"}},
    {{u"等待处理", u"等待處理", u"処理待ち", u"처리 대기", u"Pending"}},
    {{u"开始处理", u"開始處理", u"処理を開始", u"처리 시작", u"Start processing"}},
    {{u"开始导出", u"開始匯出", u"書き出しを開始", u"내보내기 시작", u"Start export"}},
    {{u"运行日志", u"執行日誌", u"実行ログ", u"실행 로그", u"Run log"}},
    {{u"设置", u"設定", u"設定", u"설정", u"Settings"}},
    {{u"帮助", u"說明", u"ヘルプ", u"도움말", u"Help"}},
    {{u"关闭", u"關閉", u"閉じる", u"닫기", u"Close"}},
    {{u"尺寸规则：", u"尺寸規則：", u"サイズ規則：", u"크기 규칙:", u"Sizing rule:"}},
    {{u"补边颜色：", u"補邊顏色：", u"余白の色：", u"여백 색상:", u"Padding color:"}},
    {{u"透明", u"透明", u"透明", u"투명", u"Transparent"}},
    {{u"白色", u"白色", u"白", u"흰색", u"White"}},
    {{u"黑色", u"黑色", u"黒", u"검은색", u"Black"}},
    {{u"内容居中", u"內容置中", u"内容を中央に配置", u"내용 가운데 정렬", u"Center content"}},
    {{u"统一输出无损 PNG", u"統一輸出無損 PNG", u"ロスレス PNG で出力", u"무손실 PNG로 출력", u"Output lossless PNG"}},
    {{u"文件夹含子目录", u"資料夾含子目錄", u"サブフォルダーを含める", u"하위 폴더 포함", u"Include subfolders"}},
    {{u"4 的倍数", u"4 的倍數", u"4 の倍数", u"4의 배수", u"Multiple of 4"}},
    {{u"偶数（2 的倍数）", u"偶數（2 的倍數）", u"偶数（2 の倍数）", u"짝수(2의 배수)", u"Even (multiple of 2)"}},
    {{u"2ⁿ（2 的幂）", u"2ⁿ（2 的冪）", u"2ⁿ（2 のべき乗）", u"2ⁿ(2의 거듭제곱)", u"Power of 2"}},
    {{u"输出位置：", u"輸出位置：", u"出力先：", u"출력 위치:", u"Output location:"}},
    {{u"浏览", u"瀏覽", u"参照", u"찾아보기", u"Browse"}},
    {{u"恢复默认", u"恢復預設", u"既定に戻す", u"기본값 복원", u"Restore default"}},
    {{u"裁切透明像素", u"裁切透明像素", u"透明ピクセルをトリミング", u"투명 픽셀 자르기", u"Trim transparent pixels"}},
    {{u"补边尺寸：", u"補邊尺寸：", u"余白サイズ：", u"여백 크기:", u"Padding size:"}},
    {{u"无规则（只裁切，不扩图）", u"無規則（只裁切，不擴圖）", u"規則なし（トリミングのみ、拡張しない）",
      u"규칙 없음(자르기만, 확장 안 함)", u"No rule (trim only)"}},
    {{u"已用时间：00:00:00", u"已用時間：00:00:00", u"経過時間：00:00:00", u"경과 시간: 00:00:00", u"Elapsed: 00:00:00"}},
    {{u"剩余时间：--:--:--", u"剩餘時間：--:--:--", u"残り時間：--:--:--", u"남은 시간: --:--:--",
      u"Remaining: --:--:--"}},
    {{u"Leanfold · Lumora 图形资源管理器 · support@lumora.example",
      u"Leanfold · Lumora 圖形資源管理器 · support@lumora.example",
      u"Leanfold · Lumora グラフィック管理ツール · support@lumora.example",
      u"Leanfold · Lumora 그래픽 리소스 관리자 · support@lumora.example",
      u"Leanfold · Lumora Graphics Manager · support@lumora.example"}},
    {{u"将文件或文件夹拖到这里\n也可以使用上方的选择按钮", u"將檔案或資料夾拖曳到這裡\n也可以使用上方的選擇按鈕",
      u"ここにファイルまたはフォルダーをドロップ\nまたは上の選択ボタンを使用",
      u"여기에 파일 또는 폴더를 끌어다 놓으세요\n또는 위의 선택 버튼을 사용하세요",
      u"Drop files or folders here\nor use the selection buttons above"}},
    {{u"深度清理嵌入式 PSD/PSB 智能对象（较慢）", u"深度清理嵌入式 PSD/PSB 智慧型物件（較慢）",
      u"埋め込み PSD/PSB スマートオブジェクトも徹底クリーン（低速）",
      u"포함된 PSD/PSB 고급 개체까지 정밀 정리(느림)", u"Deep-clean embedded PSD/PSB smart objects (slower)"}},
    {{u"内置离线安全处理，不启动 Adobe Photoshop；保存前后自动校验画布与图层结构。",
      u"內建離線安全處理，不啟動 Adobe Photoshop；儲存前後自動校驗畫布與圖層結構。",
      u"内蔵のオフライン安全処理で Adobe Photoshop は起動しません。保存の前後でカンバスとレイヤー構造を自動検証します。",
      u"Adobe Photoshop 없이 내장 오프라인 방식으로 안전하게 처리하며, 저장 전후에 캔버스와 레이어 구조를 자동 검증합니다.",
      u"Offline safe processing without Adobe Photoshop; validates canvas and layer structure before and after "
      u"saving."}},
    {{u"已选文件列表：支持 PSD / PSB，也可直接拖入文件或文件夹",
      u"已選檔案清單：支援 PSD / PSB，也可直接拖入檔案或資料夾",
      u"選択したファイル：PSD / PSB に対応。ファイルやフォルダーを直接ドロップすることもできます",
      u"선택한 파일: PSD / PSB 지원. 파일이나 폴더를 바로 끌어다 놓을 수도 있습니다",
      u"Selected files: PSD / PSB supported. You can also drop files or folders here."}},
    {{u"输出目录（留空＝原位置替换）：", u"輸出目錄（留空＝原位置取代）：", u"出力フォルダー（空欄＝元の場所で置換）：",
      u"출력 폴더(비워 두면 원래 위치에서 교체):", u"Output folder (empty = replace in place):"}},
    {{u"留空时直接替换原文件", u"留空時直接取代原檔案", u"空欄の場合は元のファイルを置き換えます",
      u"비워 두면 원본 파일을 바로 교체합니다", u"Leave empty to replace the original file"}},
    {{u"恢复原位置替换", u"恢復原位置取代", u"元の場所での置換に戻す", u"원래 위치 교체로 복원",
      u"Restore in-place replacement"}},
    {{u"自动：在 PSD/PSB 旁创建同名文件夹", u"自動：在 PSD/PSB 旁建立同名資料夾",
      u"自動：PSD/PSB の隣に同名のフォルダーを作成", u"자동: PSD/PSB 옆에 같은 이름의 폴더 생성",
      u"Automatic: create a same-named folder next to the PSD/PSB"}},
    {{u"浏览...", u"瀏覽...", u"参照...", u"찾아보기...", u"Browse..."}},
    {{u"取消后，每个 PNG 保持原 PSD/PSB 的完整画布尺寸和图层坐标",
      u"取消後，每個 PNG 保持原 PSD/PSB 的完整畫布尺寸和圖層座標",
      u"オフにすると、各 PNG は元の PSD/PSB のカンバスサイズとレイヤー座標を保持します",
      u"해제하면 각 PNG가 원본 PSD/PSB의 전체 캔버스 크기와 레이어 좌표를 유지합니다",
      u"When cleared, each PNG retains the original PSD/PSB canvas size and layer coordinates"}},
    {{u"清理处理日志", u"清除處理日誌", u"処理ログをクリア", u"처리 로그 지우기", u"Clear processing log"}},
    {{u"工具设置", u"工具設定", u"ツール設定", u"도구 설정", u"Tool settings"}},
    {{u"界面语言：", u"介面語言：", u"表示言語：", u"인터페이스 언어:", u"Interface language:"}},
    {{u"版本号：%1", u"版本號：%1", u"バージョン：%1", u"버전: %1", u"Version: %1"}},
    {{u"帮助 - %1", u"說明 - %1", u"ヘルプ - %1", u"도움말 - %1", u"Help - %1"}},
};

static_assert(std::size(kRows) == 57);

} // namespace

const QHash<QString, QStringList>& toolCatalogue()
{
    static const QHash<QString, QStringList> catalogue = [] {
        QHash<QString, QStringList> built;
        built.reserve(std::size(kRows));
        for (const Row& row : kRows) {
            QStringList texts;
            for (const char16_t* text : row.text)
                texts.append(QString::fromUtf16(text));
            built.insert(texts.first(), texts);
        }
        return built;
    }();
    return catalogue;
}
