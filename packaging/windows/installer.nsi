; The Windows installer: the program folder in Program Files, a Start-menu
; entry, an uninstaller, the Event Log source, and the nightly run and the
; guard at boot as Task Scheduler tasks, installed but not enabled.
; makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DDIST=<folder> -DOUTFILE=<setup.exe> installer.nsi
Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define PRODUCT "ZorvatDBバックアップ"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\zorvatdbbackup"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${PRODUCT}"
!define TASK_FOLDER "${PRODUCT}"
!define NIGHTLY_TASK "夜間バックアップ"
!define GUARD_TASK "起動時のサービス開始"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1041 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1041 "FileDescription" "${PRODUCT} セットアップ"
VIAddVersionKey /LANG=1041 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "CompanyName" "Zorvat"
VIAddVersionKey /LANG=1041 "LegalCopyright" "© Zorvat"

!include "LogicLib.nsh"
!include "MUI2.nsh"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Japanese"

; One line of a task definition, UTF-16 as the Task Scheduler reads it.
!macro Line text
  FileWriteUTF16LE $0 `${text}$\r$\n`
!macroend

; name, trigger lines, arguments, description
!macro WriteTask file trigger arguments description
  FileOpen $0 "${file}" w
  FileWriteWord $0 0xFEFF
  !insertmacro Line '<?xml version="1.0" encoding="UTF-16"?>'
  !insertmacro Line '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">'
  !insertmacro Line '  <RegistrationInfo><Description>${description}</Description></RegistrationInfo>'
  !insertmacro Line '  <Triggers>${trigger}</Triggers>'
  ; The account that installs runs it, also while nobody is logged on, with
  ; its administrator's rights: stopping a service needs them.
  !insertmacro Line '  <Principals><Principal id="Author"><LogonType>S4U</LogonType><RunLevel>HighestAvailable</RunLevel></Principal></Principals>'
  !insertmacro Line '  <Settings>'
  !insertmacro Line '    <Enabled>false</Enabled>'
  !insertmacro Line '    <StartWhenAvailable>true</StartWhenAvailable>'
  !insertmacro Line '    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>'
  !insertmacro Line '    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>'
  !insertmacro Line '    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>'
  ; The run keeps its own time limits; one killed from outside leaves the service down.
  !insertmacro Line '    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>'
  !insertmacro Line '  </Settings>'
  !insertmacro Line '  <Actions Context="Author"><Exec><Command>"$INSTDIR\zorvatdbbackup.exe"</Command><Arguments>${arguments}</Arguments><WorkingDirectory>$INSTDIR</WorkingDirectory></Exec></Actions>'
  !insertmacro Line '</Task>'
  FileClose $0
!macroend

; A task already there (an install over an earlier one) stays as the operator
; left it: registered afresh it would be disabled again without a word.
!macro RegisterTask name file
  ${IfNot} ${FileExists} "$SYSDIR\Tasks\${TASK_FOLDER}\${name}"
    nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Create /TN "${TASK_FOLDER}\${name}" /XML "${file}" /F'
    Pop $1
    ${If} $1 != 0
      DetailPrint "タスク ${name} を登録できませんでした ($1)。定義は ${file} にあります。"
    ${EndIf}
  ${EndIf}
!macroend

Section "Install"
  SetShellVarContext all
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${DIST}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\zorvatdbbackup.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Zorvat"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zorvatdbbackup.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Each run's outcome goes to the Application log under this source; the
  ; program carries the message table.
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\zorvatdbbackup.exe"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7

  CreateDirectory "$INSTDIR\tasks"
  !insertmacro WriteTask "$INSTDIR\tasks\nightly.xml" \
    "<CalendarTrigger><StartBoundary>2026-01-01T02:00:00</StartBoundary><ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay></CalendarTrigger>" \
    "--run" "毎晩 2:00 に設定番号 1 を画面なしでバックアップします。"
  !insertmacro WriteTask "$INSTDIR\tasks\guard.xml" "<BootTrigger></BootTrigger>" "--guard" \
    "前回の処理で停止したままのＤＢサービスを、起動時に開始します。"
  !insertmacro RegisterTask "${NIGHTLY_TASK}" "$INSTDIR\tasks\nightly.xml"
  !insertmacro RegisterTask "${GUARD_TASK}" "$INSTDIR\tasks\guard.xml"
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  SetRegView 64
  nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Delete /TN "${TASK_FOLDER}\${NIGHTLY_TASK}" /F'
  Pop $0
  nsExec::ExecToLog '"$SYSDIR\schtasks.exe" /Delete /TN "${TASK_FOLDER}\${GUARD_TASK}" /F'
  Pop $0
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ; What the installer put there, not the folder whole: it may be one the
  ; operator chose. The settings (HKCU) and the run history stay.
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\licenses"
  RMDir /r "$INSTDIR\tasks"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\zorvatdbbackup.exe"
  Delete "$INSTDIR\zorvatdbbackup.com"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
