; What the installer registers with Windows, all of it under HKEY_CURRENT_USER, and how the uninstaller takes
; every part of it back. Leanfold offers itself in "Open with" for .psd and .psb and in the Default Apps settings;
; it never makes itself the default program of either type: that stays the user's choice.

!define CLASSES "Software\Classes"
!define PROGID "Lumora.Leanfold"
!define APPLICATION_KEY "${CLASSES}\Applications\Leanfold.exe"
!define CAPABILITIES_KEY "Software\Lumora\Leanfold\Capabilities"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Leanfold"
!define OPEN_COMMAND '"$INSTDIR\Leanfold.exe" "%1"'
; Tells Explorer to read the associations again (shlobj.h).
!define SHCNE_ASSOCCHANGED 0x08000000
!define SHCNF_IDLIST 0

; A file type: its ProgId (Lumora.Leanfold.psd), named in the type's OpenWithProgids, in the types
; Leanfold.exe supports and in the capabilities.
!macro RegisterFileType EXTENSION DESCRIPTION
  WriteRegStr HKCU "${CLASSES}\${PROGID}${EXTENSION}" "" "${DESCRIPTION}"
  WriteRegStr HKCU "${CLASSES}\${PROGID}${EXTENSION}\DefaultIcon" "" "$INSTDIR\Leanfold.ico"
  WriteRegStr HKCU "${CLASSES}\${PROGID}${EXTENSION}\shell\open\command" "" '${OPEN_COMMAND}'
  WriteRegNone HKCU "${CLASSES}\${EXTENSION}\OpenWithProgids" "${PROGID}${EXTENSION}"
  WriteRegStr HKCU "${APPLICATION_KEY}\SupportedTypes" "${EXTENSION}" ""
  WriteRegStr HKCU "${CAPABILITIES_KEY}\FileAssociations" "${EXTENSION}" "${PROGID}${EXTENSION}"
!macroend

; The type's own key (.psd) belongs to whichever programs use it: only our value goes, and the keys only when
; nothing else is left in them.
!macro UnregisterFileType EXTENSION
  DeleteRegKey HKCU "${CLASSES}\${PROGID}${EXTENSION}"
  DeleteRegValue HKCU "${CLASSES}\${EXTENSION}\OpenWithProgids" "${PROGID}${EXTENSION}"
  DeleteRegKey /ifempty HKCU "${CLASSES}\${EXTENSION}\OpenWithProgids"
  DeleteRegKey /ifempty HKCU "${CLASSES}\${EXTENSION}"
!macroend

!macro WriteRegistration
  !insertmacro RegisterFileType .psd "Photoshop document"
  !insertmacro RegisterFileType .psb "Photoshop large document"
  WriteRegStr HKCU "${APPLICATION_KEY}" "FriendlyAppName" "Leanfold"
  WriteRegStr HKCU "${APPLICATION_KEY}\shell\open\command" "" '${OPEN_COMMAND}'
  WriteRegStr HKCU "${CAPABILITIES_KEY}" "ApplicationName" "Leanfold"
  WriteRegStr HKCU "${CAPABILITIES_KEY}" "ApplicationDescription" \
    "Slims PSD and PSB files by removing their editing history"
  WriteRegStr HKCU "${CAPABILITIES_KEY}" "ApplicationIcon" "$INSTDIR\Leanfold.ico"
  WriteRegStr HKCU "Software\RegisteredApplications" "Leanfold" "${CAPABILITIES_KEY}"
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i ${SHCNF_IDLIST}, p 0, p 0)'
!macroend

!macro RemoveRegistration
  !insertmacro UnregisterFileType .psd
  !insertmacro UnregisterFileType .psb
  DeleteRegKey HKCU "${APPLICATION_KEY}"
  DeleteRegValue HKCU "Software\RegisteredApplications" "Leanfold"
  DeleteRegKey /ifempty HKCU "Software\RegisteredApplications"
  DeleteRegKey HKCU "${CAPABILITIES_KEY}"
  ; The program keeps its settings in a file; these keys held only the capabilities.
  DeleteRegKey /ifempty HKCU "Software\Lumora\Leanfold"
  DeleteRegKey /ifempty HKCU "Software\Lumora"
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i ${SHCNF_IDLIST}, p 0, p 0)'
!macroend

; The entry of Apps & features (Installed apps). EstimatedSize is in KiB, counted from the installed folder.
!macro WriteUninstallEntry
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Leanfold"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Lumora"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Leanfold.ico"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
!macroend
