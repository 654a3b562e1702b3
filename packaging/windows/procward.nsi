; The Windows installer: procward.exe and procwardd.exe into Program Files,
; with the metrics module procward-metrics.dll beside them (where both look
; for it), a Start-menu entry for the window, optionally the service, and an
; uninstaller listed in Add/Remove Programs.
;
; Built by `make windows-installer` (makensis -INPUTCHARSET UTF8), which
; defines VERSION (1.0), VERSION_QUAD (1.0.0.0), BUILD_DIR (the programs, the
; metrics module and procward.ico), SOURCE_DIR (README.md) and OUT_FILE.
;
; Command line: /S installs silently; /SERVICE=1 also registers and starts
; the service (/SERVICE=0 leaves it out even when an earlier install had it);
; /D=DIR (last) chooses the folder. The uninstaller takes /S, and /PURGE=1 to
; remove %ProgramData%\Procward (the service's list, settings and logs) too;
; without it those files stay for the next install.

; A 64-bit installer for 64-bit programs: it sees the 64-bit Program Files
; and registry as they are, and runs where only 64-bit Windows programs can
; (a Wine without its 32-bit part).
Target amd64-unicode
SetCompressor /SOLID lzma
; The file is named ...-setup.exe on purpose (what users look for, and what
; Windows' installer detection expects); makensis warns of the shims such a
; name attracts, which a manifest-carrying NSIS stub does not need.
!pragma warning disable 9000

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "StrFunc.nsh"
${StrStr}
${UnStrStr}

!define PRODUCT "Procward"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Procward"
!define PRODUCT_KEY "Software\Procward"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Procward"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Procward"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "InstallDir"
; Program Files, HKLM and the service manager all need an administrator.
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PRODUCT} developers"

!define MUI_ICON "${BUILD_DIR}\procward.ico"
!define MUI_UNICON "${BUILD_DIR}\procward.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\procward.exe"
!define MUI_FINISHPAGE_RUN_NOTCHECKED

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the one used when the system's is neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString NameMain ${LANG_ENGLISH} "Procward (window and supervisor)"
LangString NameMain ${LANG_SIMPCHINESE} "Procward（窗口与守护程序）"
LangString NameService ${LANG_ENGLISH} "Run the supervisor as a Windows service"
LangString NameService ${LANG_SIMPCHINESE} "作为 Windows 服务运行守护程序"
LangString DescMain ${LANG_ENGLISH} "procward.exe (the window), procwardd.exe (the supervisor without a window), procward-metrics.dll (the /metrics HTTP server), procward-output.exe (the servers' output writer), the README and a Start-menu entry."
LangString DescMain ${LANG_SIMPCHINESE} "procward.exe（窗口）、procwardd.exe（无窗口守护程序）、procward-metrics.dll（/metrics 的 HTTP 服务）、procward-output.exe（服务器输出的写入程序）、README 和开始菜单项。"
LangString DescService ${LANG_ENGLISH} "Registers the service $\"Procward$\" (automatic start) and starts it. Its server list, settings and logs are in %ProgramData%\Procward."
LangString DescService ${LANG_SIMPCHINESE} "注册并启动服务 $\"Procward$\"（自动启动）。其服务器列表、设置和日志位于 %ProgramData%\Procward。"
LangString NameUnMain ${LANG_ENGLISH} "Procward programs and the service"
LangString NameUnMain ${LANG_SIMPCHINESE} "Procward 程序与服务"
LangString NameUnData ${LANG_ENGLISH} "The service's server list, settings and logs (%ProgramData%\Procward)"
LangString NameUnData ${LANG_SIMPCHINESE} "服务的服务器列表、设置和日志（%ProgramData%\Procward）"
LangString ServiceFailed ${LANG_ENGLISH} "The service could not be registered or started (procwardd.exe service $0 ended with $1). The programs are installed; see the details."
LangString ServiceFailed ${LANG_SIMPCHINESE} "服务未能注册或启动（procwardd.exe service $0 的退出码为 $1）。程序已安装，详情见安装细节。"

Section "!$(NameMain)" SecMain
  SectionIn RO
  SetShellVarContext all
  SetRegView 64
  ; A running service holds procwardd.exe open: stop it before the file is
  ; replaced (its servers keep running and are found again at its start).
  ${If} ${FileExists} "$INSTDIR\procwardd.exe"
    ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
    ${StrStr} $1 $0 "$INSTDIR\procwardd.exe"
    ${If} $1 != ""
      DetailPrint "Stopping the service Procward to replace its program"
      nsExec::ExecToLog '"$INSTDIR\procwardd.exe" service stop'
      Pop $1
    ${EndIf}
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}\procward.exe"
  File "${BUILD_DIR}\procwardd.exe"
  File "${BUILD_DIR}\procward-metrics.dll"
  ; Servers outlive the service, and each running server's output writer
  ; holds procward-output.exe open: it cannot be replaced while they run,
  ; and the one in place serves as well (its arguments do not change).
  SetOverwrite try
  File "${BUILD_DIR}\procward-output.exe"
  SetOverwrite on
  File "${SOURCE_DIR}\README.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\Procward.lnk" "$INSTDIR\procward.exe" "" "$INSTDIR\procward.exe" 0

  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\procward.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
  WriteRegDWORD HKLM "${PRODUCT_KEY}" "Service" 0
SectionEnd

Section /o "$(NameService)" SecService
  SetRegView 64
  StrCpy $0 "install"
  nsExec::ExecToLog '"$INSTDIR\procwardd.exe" service install'
  Pop $1
  ${If} $1 == "0"
    StrCpy $0 "start"
    nsExec::ExecToLog '"$INSTDIR\procwardd.exe" service start'
    Pop $1
  ${EndIf}
  ${If} $1 != "0"
    ; The programs stay installed; a silent install says so by its exit code.
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(ServiceFailed)" /SD IDOK
    SetErrorLevel 3
  ${Else}
    WriteRegDWORD HKLM "${PRODUCT_KEY}" "Service" 1
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} "$(DescMain)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "$(DescService)"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  SetRegView 64
  ; An update keeps the service choice of the install before it.
  ReadRegDWORD $0 HKLM "${PRODUCT_KEY}" "Service"
  ${If} $0 == "1"
    !insertmacro SelectSection ${SecService}
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/SERVICE=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "1"
      !insertmacro SelectSection ${SecService}
    ${Else}
      !insertmacro UnselectSection ${SecService}
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "un.$(NameUnMain)" UnSecMain
  SectionIn RO
  SetShellVarContext all
  SetRegView 64
  ; Only a service that runs this folder's procwardd.exe is removed: another
  ; copy registered by hand from elsewhere is not ours to take away.
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${UnStrStr} $1 $0 "$INSTDIR\procwardd.exe"
  ${If} $1 != ""
    DetailPrint "Removing the service Procward"
    nsExec::ExecToLog '"$INSTDIR\procwardd.exe" service uninstall'
    Pop $1
  ${EndIf}
  Delete "$INSTDIR\procward.exe"
  Delete "$INSTDIR\procwardd.exe"
  Delete "$INSTDIR\procward-metrics.dll"
  ; Held open by the writers of servers still running: removed at the next
  ; restart of Windows then.
  Delete /REBOOTOK "$INSTDIR\procward-output.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\uninstall.exe"
  ; The folder goes only when empty: a list or log a user kept beside the
  ; programs stays.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Procward.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
SectionEnd

Section /o "un.$(NameUnData)" UnSecData
  SetShellVarContext all
  DetailPrint "Removing $APPDATA\Procward"
  ; A server still running holds its output file there: what is in use
  ; goes at the next restart of Windows.
  RMDir /r /REBOOTOK "$APPDATA\Procward"
SectionEnd

Function un.onInit
  SetRegView 64
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PURGE=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 == "1"
    !insertmacro SelectSection ${UnSecData}
  ${EndIf}
FunctionEnd
