; The Windows installer of Unit Loader, built by `cmake --build BUILD --target installer` with
; makensis; the build passes VERSION, the programs' paths, WINDOW_NAME, README, ICON and OUTFILE.
;
; It installs for the user who runs it, into a folder of theirs (no administrator needed): the
; window keeps its settings file and its copy of px417.dll beside itself, so it must be able to
; write there. The window always; the command-line programs on request (the component page, or
; /CLI on the command line, also with /S for a silent install). The uninstaller removes what was
; installed, the shortcuts and the registry entries; a settings file the window saved stays,
; and with it the folder.
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "FileFunc.nsh"
!include "Sections.nsh"

!define PRODUCT "Unit Loader"
!define REG_KEY "Software\${PRODUCT}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${REG_KEY}" "InstallDir"
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails show
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright 2026 the Unit Loader developers"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "${PRODUCT} (the window)" SecWindow
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "/oname=${WINDOW_NAME}" "${WINDOW_EXE}"
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${WINDOW_NAME}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${REG_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${WINDOW_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Command-line loader (unit-loader-cli, trace-listen)" SecCli
  SetOutPath "$INSTDIR"
  File "/oname=unit-loader-cli.exe" "${CLI_EXE}"
  File "/oname=trace-listen.exe" "${TRACE_EXE}"
SectionEnd

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/CLI" $1
  IfErrors done
  !insertmacro SelectSection ${SecCli}
  done:
FunctionEnd

Section "Uninstall"
  Delete "$INSTDIR\${WINDOW_NAME}"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\unit-loader-cli.exe"
  Delete "$INSTDIR\trace-listen.exe"
  ; Copies of the library that a killed run could not remove.
  Delete "$INSTDIR\px417.dll"
  Delete "$INSTDIR\px417.*.dll"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${REG_KEY}"
  ; Last, and only when empty: the window's saved settings are the user's.
  RMDir "$INSTDIR"
SectionEnd
