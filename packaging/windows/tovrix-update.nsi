; The installer of TovrixPro Update for 64-bit Windows, made by
; scripts/package windows with NSIS:
;
;   makensis -DVERSION=1.0 -DVERSION4=1.0.0.0 -DSTAGE=DIR -DICON=FILE.ico
;            -DOUTFILE=tovrix-update-1.0-win64-setup.exe tovrix-update.nsi
;
; STAGE is the folder the zip is made from. The installer is per user: it
; needs no administrator rights and writes only under the user's profile
; and HKEY_CURRENT_USER:
;
;   %LOCALAPPDATA%\Programs\TovrixPro Update    the zip's files, uninstall.exe
;   the Start menu's Programs\TovrixPro Update.lnk
;   Software\Classes\Applications\tovrix-update.exe and the ProgID
;     Olvane.TovrixProUpdate.hex, named in .hex\OpenWithProgids: "Open with"
;     offers the window for a .hex file, and the default program for .hex
;     (.hex's own value) is left as it is
;   Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrixProUpdate
;     the entry in Apps & features
;
; /S installs (and the uninstaller, /S, removes) without a question. An
; installed version, older or not, is removed by its own uninstaller first.
; The uninstaller removes the files, the shortcut and the keys above (and
; the keys that hold them, when it leaves them empty) and nothing else: a
; folder that holds files of the user's is left with them.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "TovrixPro Update"
!define PUBLISHER "Olvane Inc"
!define PROGRAM "tovrix-update.exe"
!define PROGID "Olvane.TovrixProUpdate.hex"
!define CLASSES "Software\Classes"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrixProUpdate"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

; The files of the zip, each given to the macro named: the installer
; takes them in, the uninstaller deletes the same list.
!macro TOVRIX_FILES DO
  !insertmacro ${DO} "" "tovrix-update.exe"
  !insertmacro ${DO} "" "tovrix-flash.exe"
  !insertmacro ${DO} "" "README.txt"
  !insertmacro ${DO} "" "tovrix-update.txt"
  !insertmacro ${DO} "" "tovrix-flash.txt"
  !insertmacro ${DO} "examples" "TOVRIXPRO.HEX"
!macroend
!macro TOVRIX_INSTALL_FILE FOLDER NAME
  !if "${FOLDER}" == ""
    SetOutPath "$INSTDIR"
    File "${STAGE}/${NAME}"
  !else
    SetOutPath "$INSTDIR\${FOLDER}"
    File "${STAGE}/${FOLDER}/${NAME}"
  !endif
!macroend
!macro TOVRIX_DELETE_FILE FOLDER NAME
  !if "${FOLDER}" == ""
    Delete "$INSTDIR\${NAME}"
  !else
    Delete "$INSTDIR\${FOLDER}\${NAME}"
  !endif
!macroend

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The installer's own version resource.
VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright 2026 ${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"

Section
  SetShellVarContext current

  ; An installed version goes first, by its own uninstaller, wherever it
  ; was installed (_?= runs it in place and waits for it).
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${UNINSTALLER}"
    DetailPrint "Removing the installed version from $0"
    ExecWait '"$0\${UNINSTALLER}" /S _?=$0'
    Delete "$0\${UNINSTALLER}"
    RMDir "$0"
  ${EndIf}

  !insertmacro TOVRIX_FILES TOVRIX_INSTALL_FILE
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; The Start menu entry starts the window in the installation's folder.
  CreateShortCut "${SHORTCUT}" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0 \
    SW_SHOWNORMAL "" "Replace the firmware of a TovrixPro unit"

  ; "Open with" for .hex: the application and a ProgID of its own, which
  ; .hex lists beside the others; .hex's default is not touched.
  WriteRegStr HKCU "${CLASSES}\Applications\${PROGRAM}" "FriendlyAppName" "${PRODUCT}"
  WriteRegStr HKCU "${CLASSES}\Applications\${PROGRAM}\SupportedTypes" ".hex" ""
  WriteRegStr HKCU "${CLASSES}\Applications\${PROGRAM}\DefaultIcon" "" "$INSTDIR\${PROGRAM},0"
  WriteRegStr HKCU "${CLASSES}\Applications\${PROGRAM}\shell\open\command" "" '"$INSTDIR\${PROGRAM}" "%1"'
  WriteRegStr HKCU "${CLASSES}\${PROGID}" "" "Intel HEX firmware image"
  WriteRegStr HKCU "${CLASSES}\${PROGID}\DefaultIcon" "" "$INSTDIR\${PROGRAM},0"
  WriteRegStr HKCU "${CLASSES}\${PROGID}\shell\open" "FriendlyAppName" "${PRODUCT}"
  WriteRegStr HKCU "${CLASSES}\${PROGID}\shell\open\command" "" '"$INSTDIR\${PROGRAM}" "%1"'
  WriteRegStr HKCU "${CLASSES}\.hex\OpenWithProgids" "${PROGID}" ""

  ; Apps & features.
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM},0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; Explorer reads the associations again.
  ${RefreshShellIcons}
SectionEnd

Section "Uninstall"
  SetShellVarContext current

  !insertmacro TOVRIX_FILES TOVRIX_DELETE_FILE
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR\examples"
  RMDir "$INSTDIR"
  ; The user's folder of programs, made by the first installer that used
  ; it: gone once empty.
  RMDir "$LOCALAPPDATA\Programs"
  Delete "${SHORTCUT}"

  DeleteRegValue HKCU "${CLASSES}\.hex\OpenWithProgids" "${PROGID}"
  ; Made by the installer when no program had them: gone once empty.
  DeleteRegKey /ifempty HKCU "${CLASSES}\.hex\OpenWithProgids"
  DeleteRegKey /ifempty HKCU "${CLASSES}\.hex"
  DeleteRegKey HKCU "${CLASSES}\${PROGID}"
  DeleteRegKey HKCU "${CLASSES}\Applications\${PROGRAM}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; The folders of keys that the installer had to make, once empty.
  DeleteRegKey /ifempty HKCU "${CLASSES}\Applications"
  DeleteRegKey /ifempty HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall"

  ${RefreshShellIcons}
SectionEnd
