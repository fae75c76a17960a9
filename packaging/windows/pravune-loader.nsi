; The Windows setup of PRAVUNE Loader: a 64-bit installer made with makensis from Debian's nsis
; package. packaging/windows/make-installer.sh stages the files and runs it:
;   makensis -DVERSION=<version> -DSTAGE=<folder> -DOUTFILE=<setup.exe> pravune-loader.nsi
; STAGE holds pravune-loader.exe, pravune-loader-demo.exe, pravune-cli.exe (stripped),
; pravune-sample.hex, README.md, LICENSE.txt and docs\ (the pages README links to).
;
; Installs into "Program Files\PRAVUNE Loader" with Start-menu entries for the loader and the
; demo, and an uninstaller in Add/Remove Programs. The uninstaller removes only what was
; installed: the user's %APPDATA%\pravune-loader (settings, serial counter, records) stays, and
; so does a config.ini or record that a loader kept beside the programs.

Unicode true
; The 64-bit stub: the default 32-bit one needs the 32-bit Windows layer.
Target amd64-unicode

!ifndef VERSION | STAGE | OUTFILE
  !error "give -DVERSION=, -DSTAGE= and -DOUTFILE= (packaging/windows/make-installer.sh does)"
!endif
!macro RequireFile name
  !if ! /FileExists "${STAGE}/${name}"
    !error "${name} is missing from ${STAGE}: build it first"
  !endif
!macroend
!insertmacro RequireFile pravune-loader.exe
!insertmacro RequireFile pravune-loader-demo.exe
!insertmacro RequireFile pravune-cli.exe
!insertmacro RequireFile pravune-sample.hex
!insertmacro RequireFile README.md
!insertmacro RequireFile docs/operator.md
!insertmacro RequireFile docs/scripting.md
!insertmacro RequireFile docs/administration.md
!insertmacro RequireFile docs/developer.md
!insertmacro RequireFile LICENSE.txt

!define PRODUCT "PRAVUNE Loader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define MENU "$SMPROGRAMS\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "LegalCopyright" "See LICENSE.txt"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles
LicenseData "${STAGE}/LICENSE.txt"

; The programs, the sample beside the demo (which looks for it beside itself), the texts.
!macro InstalledFiles action
  ${action} "pravune-loader.exe"
  ${action} "pravune-loader-demo.exe"
  ${action} "pravune-cli.exe"
  ${action} "pravune-sample.hex"
  ${action} "README.md"
  ${action} "LICENSE.txt"
!macroend
; The pages README links to, in docs\ beside it as in the source tree.
!macro InstalledDocs action
  ${action} "operator.md"
  ${action} "scripting.md"
  ${action} "administration.md"
  ${action} "developer.md"
!macroend
!macro Install name
  File "${STAGE}/${name}"
!macroend
!macro Remove name
  Delete "$INSTDIR\${name}"
!macroend
!macro InstallDoc name
  File "${STAGE}/docs/${name}"
!macroend
!macro RemoveDoc name
  Delete "$INSTDIR\docs\${name}"
!macroend
!define Install "!insertmacro Install"
!define Remove "!insertmacro Remove"
!define InstallDoc "!insertmacro InstallDoc"
!define RemoveDoc "!insertmacro RemoveDoc"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "${PRODUCT}"
  SetOutPath "$INSTDIR"
  !insertmacro InstalledFiles "${Install}"
  SetOutPath "$INSTDIR\docs"
  !insertmacro InstalledDocs "${InstallDoc}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\${PRODUCT}.lnk" "$INSTDIR\pravune-loader.exe"
  CreateShortcut "${MENU}\${PRODUCT} Demo.lnk" "$INSTDIR\pravune-loader-demo.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\pravune-loader.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !insertmacro InstalledFiles "${Remove}"
  !insertmacro InstalledDocs "${RemoveDoc}"
  RMDir "$INSTDIR\docs"
  Delete "$INSTDIR\Uninstall.exe"
  ; Not /r: a config.ini or record that a loader kept here stays, and keeps the folder.
  RMDir "$INSTDIR"

  Delete "${MENU}\${PRODUCT}.lnk"
  Delete "${MENU}\${PRODUCT} Demo.lnk"
  RMDir "${MENU}"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; $APPDATA\pravune-loader is the user's: never touched.
SectionEnd
