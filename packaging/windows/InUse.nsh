; Whether Leanfold still runs from a folder. Windows refuses to open the file of a running program for writing
; (a sharing violation) whatever share mode is asked for: that answers for the folder itself, and for no other
; copy of Leanfold elsewhere. Files are neither created nor changed by asking.

!define GENERIC_WRITE 0x40000000
!define FILE_SHARE_ALL 7 ; read, write and delete
!define OPEN_EXISTING 3
!define ERROR_SHARING_VIOLATION 32

; Defines ${UN}ProgramRuns and ${UN}RefuseWhileRunning, for the installer (UN empty) or the uninstaller (UN "un.").
!macro DefineInUseChecks UN

; Pops a file's path; pushes 1 when a running program holds the file, else 0 (also when it does not exist).
Function ${UN}ProgramRuns
  Exch $0
  Push $1
  System::Call 'kernel32::CreateFileW(w r0, i ${GENERIC_WRITE}, i ${FILE_SHARE_ALL}, p 0, i ${OPEN_EXISTING}, \
                 i 0, p 0) p .r1 ?e'
  Pop $0 ; the error CreateFileW left
  ${If} $1 P<> -1
    System::Call 'kernel32::CloseHandle(p r1)'
    StrCpy $0 0
  ${ElseIf} $0 = ${ERROR_SHARING_VIOLATION}
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

; Pops a folder. While Leanfold.exe or leanfold-slim.exe runs from it, asks for it to be closed (Retry) or gives
; up (Cancel): then the run stops with exit code 3, before anything was changed. A silent run gives up at once.
Function ${UN}RefuseWhileRunning
  Exch $0
  Push $1
  retry:
  Push "$0\Leanfold.exe"
  Call ${UN}ProgramRuns
  Pop $1
  ${If} $1 = 0
    Push "$0\leanfold-slim.exe"
    Call ${UN}ProgramRuns
    Pop $1
  ${EndIf}
  ${If} $1 = 1
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(LeanfoldRuns)" /SD IDCANCEL IDRETRY retry
    SetErrorLevel 3
    Abort
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

!macroend
