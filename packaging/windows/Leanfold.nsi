; Leanfold's installer for Windows, per user: it asks for no administrator rights, puts the program into
; %LOCALAPPDATA%\Programs\Leanfold and registers everything under HKEY_CURRENT_USER. scripts/windows-installer.sh
; builds it:
;
;   makensis -INPUTCHARSET UTF8 -DVERSION=2.36 -DHOST=Leanfold.exe -DSLIM=leanfold-slim.exe -DICON=Leanfold.ico
;            -DOUTFILE=Leanfold-2.36-setup.exe Leanfold.nsi
;
; Setup: /S installs silently, /D=<folder> (last on its command line) installs elsewhere. Uninstall.exe /S removes
; it silently. Besides NSIS's own exit codes (1 cancelled, 2 stopped) both exit with 3 when Leanfold runs from the
; folder; setup exits with 4 when the version already installed could not be removed.
;
; The user's settings and logs in %LOCALAPPDATA%\Lumora are never touched.

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!macro Require NAME
  !ifndef ${NAME}
    !error "${NAME} is not defined (-D${NAME}=...): scripts/windows-installer.sh passes it"
  !endif
!macroend
!insertmacro Require VERSION
!insertmacro Require HOST
!insertmacro Require SLIM
!insertmacro Require ICON
!insertmacro Require OUTFILE

Name "Leanfold ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "Lumora"
InstallDir "$LOCALAPPDATA\Programs\Leanfold"
; An update goes where the version it replaces is.
InstallDirRegKey HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\Leanfold" "InstallLocation"
; A failed copy must not be skipped: Leanfold would be left half old, half new.
AllowSkipFiles off

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Registration.nsh
!include InUse.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Leanfold.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English
!insertmacro MUI_LANGUAGE SimpChinese
!insertmacro MUI_LANGUAGE TradChinese
!insertmacro MUI_LANGUAGE Japanese
!insertmacro MUI_LANGUAGE Korean
!include Messages.nsh

; The file version wants four numbers: 2.36 is 2.36.0.0.
!searchparse /noerrors "${VERSION}.0.0.0" "" VERSION_1 "." VERSION_2 "." VERSION_3 "." VERSION_4 "."
VIProductVersion "${VERSION_1}.${VERSION_2}.${VERSION_3}.${VERSION_4}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Leanfold"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "Lumora"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Lumora"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Leanfold setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"

!insertmacro DefineInUseChecks ""
!insertmacro DefineInUseChecks "un."

; The files a version of Leanfold puts into its folder, removed by its own uninstaller; the program itself adds
; logs\ and, where the user's data folder cannot take it, components\<version>\LeanfoldWorker.exe. Only these go:
; the folder may have been chosen with /D= and hold files of the user's.
!macro RemoveProgramFiles
  Delete "$INSTDIR\Leanfold.exe"
  Delete "$INSTDIR\leanfold-slim.exe"
  Delete "$INSTDIR\Leanfold.ico"
  Delete "$INSTDIR\logs\runtime.log"
  Delete "$INSTDIR\logs\runtime.log.1"
  Delete "$INSTDIR\logs\runtime.log.lock"
  Delete "$INSTDIR\logs\release-history.json"
  RMDir "$INSTDIR\logs"
  FindFirst $0 $1 "$INSTDIR\components\*"
  ${DoWhile} $1 != ""
    ${If} $1 != "."
    ${AndIf} $1 != ".."
      Delete "$INSTDIR\components\$1\LeanfoldWorker.exe"
      RMDir "$INSTDIR\components\$1"
    ${EndIf}
    FindNext $0 $1
  ${Loop}
  FindClose $0
  RMDir "$INSTDIR\components"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
!macroend

Var Previous ; the folder of the version installed before, from its Apps & features entry

Function .onInit
  SetShellVarContext current
  ReadRegStr $Previous HKCU "${UNINSTALL_KEY}" "InstallLocation"
FunctionEnd

; Runs the uninstaller of a version installed in the folder on the stack, and waits for it: with _?= it works
; from where it lies instead of from a copy that returns at once. So no file of that version stays behind.
Function RemoveInstallation
  Exch $0
  Push $1
  ${If} ${FileExists} "$0\Uninstall.exe"
    ClearErrors
    ExecWait '"$0\Uninstall.exe" /S _?=$0' $1
    ${If} ${Errors}
    ${OrIf} $1 <> 0
      MessageBox MB_OK|MB_ICONSTOP "$(PreviousNotRemoved)" /SD IDOK
      SetErrorLevel 4
      Abort
    ${EndIf}
    ; An uninstaller started with _?= cannot delete itself.
    Delete "$0\Uninstall.exe"
    RMDir "$0"
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

Section "Leanfold"
  SectionIn RO
  ; Nothing is changed while Leanfold runs from the folder it goes to or from the folder it comes from.
  Push $INSTDIR
  Call RefuseWhileRunning
  ${If} $Previous != ""
  ${AndIf} $Previous != $INSTDIR
    Push $Previous
    Call RefuseWhileRunning
    Push $Previous
    Call RemoveInstallation
  ${EndIf}
  Push $INSTDIR
  Call RemoveInstallation

  SetOutPath "$INSTDIR"
  File "/oname=Leanfold.exe" "${HOST}"
  File "/oname=leanfold-slim.exe" "${SLIM}"
  File "/oname=Leanfold.ico" "${ICON}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateShortCut "$SMPROGRAMS\Leanfold.lnk" "$INSTDIR\Leanfold.exe" "" "$INSTDIR\Leanfold.ico" 0
  !insertmacro WriteRegistration
  !insertmacro WriteUninstallEntry
SectionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Uninstall"
  Push $INSTDIR
  Call un.RefuseWhileRunning
  !insertmacro RemoveProgramFiles
  Delete "$SMPROGRAMS\Leanfold.lnk"
  !insertmacro RemoveRegistration
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
