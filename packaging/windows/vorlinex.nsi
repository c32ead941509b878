; The Windows installer, made by tools/windows.sh with Debian's makensis from the staged program
; folder: makensis -DVERSION=... -DSTAGE=... -DOUTFILE=... -DUNINSTALL_LIST=... vorlinex.nsi
;
; It installs for the current user, with no administrator rights: the program keeps its settings
; in the folder it is started in, so the Start menu entry starts it in the user's Documents folder,
; which the user can always write to.

!ifndef VERSION | STAGE | OUTFILE | UNINSTALL_LIST
  !error "VERSION, STAGE, OUTFILE and UNINSTALL_LIST must be given with -D"
!endif

; A 64-bit installer for the 64-bit program (it also runs under a Wine without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vorlinex"

Name "Vorlinex ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Vorlinex"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "1.1.0.0"
VIAddVersionKey "ProductName" "Vorlinex"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Vorlinex ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "Vorlinex maintainers"

!include "MUI2.nsh"

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\Vorlinex.html"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the help page"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_LICENSE "${STAGE}/copyright.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Vorlinex"
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The shortcut's working folder is the output path at the time it is made.
  SetOutPath "$DOCUMENTS"
  CreateShortcut "$SMPROGRAMS\Vorlinex.lnk" "$INSTDIR\vorlinex.exe" "" "$INSTDIR\vorlinex.exe" 0 \
    SW_SHOWNORMAL "" "Serial-line relay monitor"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Vorlinex ${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Vorlinex maintainers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vorlinex.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The user's own files (Vorlinex.ini, captures) are not the program's and stay.
Section "Uninstall"
  Delete "$SMPROGRAMS\Vorlinex.lnk"
  ; The start-up entry the program makes when asked to start at log-in would point at nothing.
  Delete "$SMSTARTUP\Vorlinex.lnk"
!include "${UNINSTALL_LIST}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
