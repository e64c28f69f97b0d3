; The installer's own messages, in the languages Leanfold speaks; NSIS's pages bring their own texts. The
; language follows Windows' display language, English where Leanfold has none of its own.

LangString LeanfoldRuns ${LANG_ENGLISH} \
  "Leanfold is running. Close every Leanfold window and leanfold-slim, then choose Retry."
LangString LeanfoldRuns ${LANG_SIMPCHINESE} \
  "Leanfold 正在运行。请关闭所有 Leanfold 窗口和 leanfold-slim，然后选择“重试”。"
LangString LeanfoldRuns ${LANG_TRADCHINESE} \
  "Leanfold 正在執行。請關閉所有 Leanfold 視窗和 leanfold-slim，然後選擇「重試」。"
LangString LeanfoldRuns ${LANG_JAPANESE} \
  "Leanfold が実行中です。Leanfold のウィンドウと leanfold-slim をすべて閉じてから「再試行」を選んでください。"
LangString LeanfoldRuns ${LANG_KOREAN} \
  "Leanfold가 실행 중입니다. Leanfold 창과 leanfold-slim을 모두 닫은 다음 [다시 시도]를 선택하십시오."

LangString PreviousNotRemoved ${LANG_ENGLISH} \
  "The Leanfold already installed in $0 could not be removed (exit code $1). Setup stops."
LangString PreviousNotRemoved ${LANG_SIMPCHINESE} \
  "无法移除已安装在 $0 的 Leanfold（退出代码 $1）。安装已停止。"
LangString PreviousNotRemoved ${LANG_TRADCHINESE} \
  "無法移除已安裝在 $0 的 Leanfold（結束代碼 $1）。安裝已停止。"
LangString PreviousNotRemoved ${LANG_JAPANESE} \
  "$0 にインストール済みの Leanfold を削除できませんでした (終了コード $1)。セットアップを中止します。"
LangString PreviousNotRemoved ${LANG_KOREAN} \
  "$0에 이미 설치된 Leanfold를 제거할 수 없습니다(종료 코드 $1). 설치를 중단합니다."
